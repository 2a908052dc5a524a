// user32's state of the program running on the machine: window classes, windows, one message
// queue per thread and the device-notification registrations. Guarded by the API lock and the
// scheduler's mutex together (scheduler.h), since blocked threads read it while they wait.
#pragma once

#include <windows.h>
#include <dbt.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/scheduler.h"

namespace winsim::user {

class RequestWatcher;

struct WndClass {
  std::wstring name;
  WNDPROC proc = nullptr;
  ATOM atom = 0;
};

struct Window {
  std::wstring className, title;
  WNDPROC proc = nullptr;
  DWORD threadId = 0;
  bool visible = false;
  size_t report = 0;  // index in the run report's `windows`
};

// The answer to a message sent from another thread.
struct Reply {
  bool done = false;
  LRESULT result = 0;
};

// A message sent to a window of another thread: its window procedure runs on that thread, inside
// GetMessageW (or a SendMessageW it makes). A device broadcast carries its structure as PAYLOAD,
// which lives until the window procedure has returned.
struct Sent {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::vector<unsigned char> payload;
  std::shared_ptr<Reply> reply;
  std::string notification;  // the interface name of a device broadcast, for the run report
};

struct Queue {
  std::deque<MSG> posted;
  std::deque<Sent> sent;
  bool quit = false;
  int quitCode = 0;
};

struct Registration {
  uintptr_t handle = 0;
  HWND window = nullptr;
  bool allClasses = false;
  GUID interfaceClass{};
};

struct TimelineEvent {
  int64_t due = 0;
  model::TimelineEvent entry;  // removed from the machine's timeline once it has happened
};

struct State {
  std::vector<WndClass> classes;
  std::map<HWND, Window> windows;
  std::map<DWORD, Queue> queues;
  std::vector<Registration> registrations;
  bool timelineStarted = false;
  std::vector<TimelineEvent> timeline;
  uintptr_t nextWindow = 0x10012;
  ATOM nextAtom = 0xC0A0;
  // Plug requests: a watcher wakes blocked threads when one is left (notify.cpp); without one,
  // blocked threads look for them every kRequestPollMs.
  std::shared_ptr<RequestWatcher> requestWatcher;
  int64_t nextRequestCheck = 0;  // steady-clock milliseconds
};

// The state of machine M, made on first use.
State& Of(Machine& m);
Window* FindWindow(State& st, HWND h);
json& ReportEntry(Machine& m, const char* list);

inline constexpr const char kNotifyKind[] = "HDEVNOTIFY";

}  // namespace winsim::user
