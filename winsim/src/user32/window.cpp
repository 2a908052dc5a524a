// user32: window classes, windows and their procedures, and one message queue per thread.
// Windows are never drawn; what a program does with them (created, shown, destroyed) is kept in
// the run report's `windows` list.
#include <algorithm>
#include <cstring>

#include "user32/window.h"

using winsim::ApiCall;
using winsim::Fail;
using winsim::Machine;
using winsim::json;
namespace sched = winsim::sched;
namespace user = winsim::user;

namespace winsim::user {

State& Of(Machine& m) {
  if (!m.user) m.user = std::make_shared<State>();
  return *std::static_pointer_cast<State>(m.user);
}

Window* FindWindow(State& st, HWND h) {
  auto it = st.windows.find(h);
  return it == st.windows.end() ? nullptr : &it->second;
}

json& ReportEntry(Machine& m, const char* list) {
  json& l = m.runReport[list];
  if (!l.is_array()) l = json::array();
  return l;
}

}  // namespace winsim::user

namespace {

bool SameName(const std::wstring& a, LPCWSTR b) {
  return lstrcmpiW(a.c_str(), b) == 0;
}

// The class a name or an atom (MAKEINTATOM) refers to.
user::WndClass* FindClass(user::State& st, LPCWSTR name) {
  for (auto& c : st.classes)
    if (IS_INTRESOURCE(name) ? c.atom == static_cast<ATOM>(reinterpret_cast<uintptr_t>(name)) : SameName(c.name, name))
      return &c;
  return nullptr;
}

ATOM AddClass(const char* function, LPCWSTR name, WNDPROC proc) {
  WINSIM_API(call, function, 0);
  if (!name || IS_INTRESOURCE(name) || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> g(sched::Get().mu);
  user::State& st = user::Of(call.machine());
  if (FindClass(st, name)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  st.classes.push_back({name, proc, st.nextAtom++});
  return st.classes.back().atom;
}

// The procedure of a window of the calling thread, or null (with the last error) when the handle
// is no window.
WNDPROC ProcOf(Machine& m, HWND h) {
  std::lock_guard<std::mutex> g(sched::Get().mu);
  user::Window* w = user::FindWindow(user::Of(m), h);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return w->proc;
}

// Runs a message sent from another thread, with no lock held, and answers its sender.
void RunSent(user::Sent& s) {
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::recursive_mutex> api(winsim::ApiLock());
    Machine& m = winsim::CurrentMachine();
    std::lock_guard<std::mutex> g(sched::Get().mu);
    user::Window* w = user::FindWindow(user::Of(m), s.hwnd);
    if (w) proc = w->proc;
    if (w && !s.notification.empty())
      user::ReportEntry(m, "notificationsDelivered")
          .push_back({{"event", s.wParam == DBT_DEVICEARRIVAL ? "arrival" : "removal"}, {"interface", s.notification}});
  }
  LPARAM lParam = s.payload.empty() ? s.lParam : reinterpret_cast<LPARAM>(s.payload.data());
  LRESULT r = proc ? proc(s.hwnd, s.message, s.wParam, lParam) : 0;
  if (s.reply) {
    sched::Scheduler& sc = sched::Get();
    std::lock_guard<std::mutex> g(sc.mu);
    s.reply->done = true;
    s.reply->result = r;
    sc.cv.notify_all();
  }
}

bool InFilter(const MSG& msg, HWND hwnd, UINT lo, UINT hi) {
  if (hwnd && msg.hwnd != hwnd) return false;
  if (lo == 0 && hi == 0) return true;
  return msg.message >= lo && msg.message <= hi;
}

constexpr DWORD kSentPending = 2;

}  // namespace

extern "C" {

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* wc) {
  if (!wc || wc->cbSize != sizeof(WNDCLASSEXW)) {
    ApiCall call("RegisterClassExW");
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return AddClass("RegisterClassExW", wc->lpszClassName, wc->lpfnWndProc);
}

ATOM WINAPI RegisterClassW(const WNDCLASSW* wc) {
  if (!wc) {
    ApiCall call("RegisterClassW");
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return AddClass("RegisterClassW", wc->lpszClassName, wc->lpfnWndProc);
}

HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int width,
                            int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
  HWND h = nullptr;
  WNDPROC proc = nullptr;
  {
    WINSIM_API(call, "CreateWindowExW", nullptr);
    Machine& m = call.machine();
    std::lock_guard<std::mutex> g(sched::Get().mu);
    user::State& st = user::Of(m);
    user::WndClass* cls = className ? FindClass(st, className) : nullptr;
    if (!cls) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    h = reinterpret_cast<HWND>(st.nextWindow);
    st.nextWindow += 2;
    proc = cls->proc;
    user::Window w;
    w.className = cls->name;
    w.title = title ? title : L"";
    w.proc = proc;
    w.threadId = sched::CurrentThreadId();
    json& list = user::ReportEntry(m, "windows");
    w.report = list.size();
    list.push_back({{"class", winsim::WideToUtf8(w.className)},
                    {"title", winsim::WideToUtf8(w.title)},
                    {"style", style},
                    {"showCommands", json::array()},
                    {"visible", false},
                    {"everVisible", false},
                    {"destroyed", false}});
    st.windows[h] = w;
  }
  CREATESTRUCTW cs{param, instance, menu, parent, height, width, y, x, static_cast<LONG>(style),
                   className, title, exStyle};
  // A window whose procedure refuses its creation is destroyed again, and the call fails.
  if (!proc || !proc(h, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs)) ||
      proc(h, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    if (IsWindow(h)) DestroyWindow(h);
    return nullptr;
  }
  if (style & WS_VISIBLE) ShowWindow(h, SW_SHOW);
  return h;
}

BOOL WINAPI IsWindow(HWND h) {
  ApiCall call("IsWindow");
  std::lock_guard<std::mutex> g(sched::Get().mu);
  return user::FindWindow(user::Of(call.machine()), h) != nullptr;
}

BOOL WINAPI IsWindowVisible(HWND h) {
  ApiCall call("IsWindowVisible");
  std::lock_guard<std::mutex> g(sched::Get().mu);
  user::Window* w = user::FindWindow(user::Of(call.machine()), h);
  return w && w->visible;
}

BOOL WINAPI ShowWindow(HWND h, int cmd) {
  WINSIM_API(call, "ShowWindow", FALSE);
  Machine& m = call.machine();
  std::lock_guard<std::mutex> g(sched::Get().mu);
  user::Window* w = user::FindWindow(user::Of(m), h);
  if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  BOOL wasVisible = w->visible;
  w->visible = cmd != SW_HIDE;
  json& entry = user::ReportEntry(m, "windows")[w->report];
  entry["showCommands"].push_back(cmd);
  entry["visible"] = w->visible;
  if (w->visible) entry["everVisible"] = true;
  return wasVisible;
}

BOOL WINAPI UpdateWindow(HWND h) {
  WINSIM_API(call, "UpdateWindow", FALSE);
  Machine& m = call.machine();
  std::lock_guard<std::mutex> g(sched::Get().mu);
  user::Window* w = user::FindWindow(user::Of(m), h);
  if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  json& entry = user::ReportEntry(m, "windows")[w->report];
  entry["updates"] = entry.value("updates", 0) + 1;
  return TRUE;
}

LRESULT WINAPI DefWindowProcW(HWND h, UINT msg, WPARAM, LPARAM) {
  { ApiCall call("DefWindowProcW"); }
  switch (msg) {
    case WM_NCCREATE: return TRUE;
    case WM_CLOSE: DestroyWindow(h); return 0;
    default: return 0;
  }
}

BOOL WINAPI DestroyWindow(HWND h) {
  WNDPROC proc = nullptr;
  {
    WINSIM_API(call, "DestroyWindow", FALSE);
    std::lock_guard<std::mutex> g(sched::Get().mu);
    user::Window* w = user::FindWindow(user::Of(call.machine()), h);
    if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    if (w->threadId != sched::CurrentThreadId()) return Fail(ERROR_ACCESS_DENIED);
    proc = w->proc;
  }
  if (proc) {
    proc(h, WM_DESTROY, 0, 0);
    proc(h, WM_NCDESTROY, 0, 0);
  }
  std::lock_guard<std::recursive_mutex> api(winsim::ApiLock());
  Machine& m = winsim::CurrentMachine();
  std::lock_guard<std::mutex> g(sched::Get().mu);
  user::State& st = user::Of(m);
  user::Window* w = user::FindWindow(st, h);
  if (!w) return TRUE;  // the window procedure destroyed it itself
  user::ReportEntry(m, "windows")[w->report]["destroyed"] = true;
  user::Queue& q = st.queues[w->threadId];
  q.posted.erase(std::remove_if(q.posted.begin(), q.posted.end(), [&](const MSG& x) { return x.hwnd == h; }),
                 q.posted.end());
  st.windows.erase(h);
  return TRUE;
}

HDC WINAPI BeginPaint(HWND h, LPPAINTSTRUCT ps) {
  ApiCall call("BeginPaint");
  if (!ps) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> g(sched::Get().mu);
  if (!user::FindWindow(user::Of(call.machine()), h)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  std::memset(ps, 0, sizeof *ps);
  // Nothing is drawn here: the device context only has to be one the program hands back.
  ps->hdc = reinterpret_cast<HDC>(reinterpret_cast<uintptr_t>(h) | 0x1000000);
  return ps->hdc;
}

BOOL WINAPI EndPaint(HWND, const PAINTSTRUCT*) {
  ApiCall call("EndPaint");
  return TRUE;
}

BOOL WINAPI GetMessageW(LPMSG msg, HWND hwnd, UINT lo, UINT hi) {
  {
    WINSIM_API(call, "GetMessageW", -1);
    if (!msg) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return -1;
    }
    std::lock_guard<std::mutex> g(sched::Get().mu);
    if (hwnd && !user::FindWindow(user::Of(call.machine()), hwnd)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
  }
  DWORD me = sched::CurrentThreadId();
  for (;;) {
    user::Sent sent;
    DWORD r = sched::Block(
        [&](Machine& m, bool take) -> std::optional<DWORD> {
          user::Queue& q = user::Of(m).queues[me];
          if (!q.sent.empty()) {
            if (!take) return kSentPending;
            sent = std::move(q.sent.front());
            q.sent.pop_front();
            return kSentPending;
          }
          for (auto it = q.posted.begin(); it != q.posted.end(); ++it)
            if (InFilter(*it, hwnd, lo, hi)) {
              if (!take) return 1;
              *msg = *it;
              q.posted.erase(it);
              return msg->message == WM_QUIT ? 0 : 1;
            }
          if (q.quit) {
            if (!take) return 0;
            q.quit = false;
            *msg = MSG{};
            msg->message = WM_QUIT;
            msg->wParam = static_cast<WPARAM>(q.quitCode);
            return 0;
          }
          return std::nullopt;
        },
        sched::kNever, 0);
    if (r != kSentPending) return static_cast<BOOL>(r);
    RunSent(sent);
  }
}

BOOL WINAPI PostMessageW(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  WINSIM_API(call, "PostMessageW", FALSE);
  sched::Scheduler& s = sched::Get();
  std::lock_guard<std::mutex> g(s.mu);
  user::State& st = user::Of(call.machine());
  DWORD target = sched::CurrentThreadId();  // a null window posts to the calling thread
  if (h) {
    user::Window* w = user::FindWindow(st, h);
    if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE);
    target = w->threadId;
  }
  MSG msg{};
  msg.hwnd = h;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  msg.time = static_cast<DWORD>(winsim::NowMillis(call.machine()) - call.machine().bootMillis);
  st.queues[target].posted.push_back(msg);
  s.cv.notify_all();
  return TRUE;
}

BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  WINSIM_API(call, "PostThreadMessageW", FALSE);
  sched::Scheduler& s = sched::Get();
  std::lock_guard<std::mutex> g(s.mu);
  user::State& st = user::Of(call.machine());
  // Only a thread that has a message queue (it has made a window or read its queue) takes one.
  if (!st.queues.count(threadId)) return Fail(ERROR_INVALID_THREAD_ID);
  MSG msg{};
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  st.queues[threadId].posted.push_back(msg);
  s.cv.notify_all();
  return TRUE;
}

void WINAPI PostQuitMessage(int code) {
  ApiCall call("PostQuitMessage");
  sched::Scheduler& s = sched::Get();
  std::lock_guard<std::mutex> g(s.mu);
  user::Queue& q = user::Of(call.machine()).queues[sched::CurrentThreadId()];
  q.quit = true;
  q.quitCode = code;
  s.cv.notify_all();
}

LRESULT WINAPI DispatchMessageW(const MSG* msg) {
  WNDPROC proc = nullptr;
  {
    ApiCall call("DispatchMessageW");
    if (!msg) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (!msg->hwnd) return 0;  // a thread message has no window procedure
    proc = ProcOf(call.machine(), msg->hwnd);
    if (!proc) return 0;
  }
  return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL WINAPI TranslateMessage(const MSG* msg) {
  ApiCall call("TranslateMessage");
  // No keyboard here: key messages never reach a queue, and nothing else is translated.
  return msg && (msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN);
}

LRESULT WINAPI SendMessageW(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc = nullptr;
  auto reply = std::make_shared<user::Reply>();
  DWORD owner = 0;
  {
    WINSIM_API(call, "SendMessageW", 0);
    sched::Scheduler& s = sched::Get();
    std::lock_guard<std::mutex> g(s.mu);
    user::State& st = user::Of(call.machine());
    user::Window* w = user::FindWindow(st, h);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    owner = w->threadId;
    if (owner == sched::CurrentThreadId()) {
      proc = w->proc;
    } else {
      user::Sent sent;
      sent.hwnd = h;
      sent.message = message;
      sent.wParam = wParam;
      sent.lParam = lParam;
      sent.reply = reply;
      st.queues[owner].sent.push_back(std::move(sent));
      s.cv.notify_all();
    }
  }
  if (proc) return proc(h, message, wParam, lParam);
  // The owner runs it inside its GetMessageW; the sender waits, answering what is sent to it.
  DWORD me = sched::CurrentThreadId();
  for (;;) {
    user::Sent incoming;
    DWORD r = sched::Block(
        [&](Machine& m, bool take) -> std::optional<DWORD> {
          if (reply->done) return 1;
          user::State& st = user::Of(m);
          if (sched::Get().ended.count(owner)) return 1;  // its thread has ended: nobody answers
          user::Queue& q = st.queues[me];
          if (!q.sent.empty()) {
            if (!take) return kSentPending;
            incoming = std::move(q.sent.front());
            q.sent.pop_front();
            return kSentPending;
          }
          return std::nullopt;
        },
        sched::kNever, 0);
    if (r != kSentPending) break;
    RunSent(incoming);
  }
  std::lock_guard<std::mutex> g(sched::Get().mu);
  return reply->result;
}

}  // extern "C"
