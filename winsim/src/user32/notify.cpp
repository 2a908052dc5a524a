// Device notifications: RegisterDeviceNotificationW, the machine's device timeline, and plug
// requests that the winsim command leaves for a running program.
//
// A device that arrives or leaves becomes present or absent in the Plug and Play machine, and each
// of its device interfaces is sent to every window registered for its class as WM_DEVICECHANGE
// with a DEV_BROADCAST_DEVICEINTERFACE_W. As on Windows the broadcast is sent, not posted: the
// window's procedure runs on the window's thread inside its GetMessageW, and the structure lives
// until the procedure returns.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/pnp.h"
#include "user32/window.h"
#include "winsim/threads.h"

using winsim::Machine;
using winsim::json;
namespace fs = std::filesystem;
namespace sched = winsim::sched;
namespace user = winsim::user;
namespace pnp = winsim::pnp;

namespace {

constexpr const char kRequestDir[] = "plug-requests";

}  // namespace

namespace winsim::user {

// Wakes the program's blocked threads when the winsim command leaves a plug request, so that they
// can wait without looking for one every few milliseconds: a program waiting for a device uses
// no CPU, as on Windows. Watches the machine directory (for the request directory's creation) and
// the request directory, and stops when the program's user32 state goes.
class RequestWatcher {
 public:
  // Null when the host cannot watch the directory; blocked threads then poll.
  static std::shared_ptr<RequestWatcher> Start(const fs::path& machineDir) {
    auto w = std::shared_ptr<RequestWatcher>(new RequestWatcher(machineDir));
    if (w->inotify_ < 0 || w->stop_ < 0 || w->machineWatch_ < 0) return nullptr;
    w->WatchRequestDir();
    w->thread_ = std::thread([raw = w.get()] { raw->Run(); });
    return w;
  }

  ~RequestWatcher() {
    if (thread_.joinable()) {
      uint64_t one = 1;
      ssize_t n = ::write(stop_, &one, sizeof one);
      (void)n;
      thread_.join();
    }
    if (inotify_ >= 0) ::close(inotify_);
    if (stop_ >= 0) ::close(stop_);
  }

  // Whether a request may have come since the last call; the first call says yes, for requests
  // left before the program listened.
  bool TakeSignal() { return signalled_.exchange(false); }

 private:
  explicit RequestWatcher(const fs::path& machineDir) : dir_(machineDir) {
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    if (inotify_ >= 0) machineWatch_ = ::inotify_add_watch(inotify_, dir_.c_str(), IN_CREATE | IN_MOVED_TO);
  }

  // Adding a watch twice keeps the one there is.
  void WatchRequestDir() {
    ::inotify_add_watch(inotify_, (dir_ / kRequestDir).c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR);
  }

  void Run() {
    pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
    alignas(inotify_event) char events[4096];
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      if (!(fds[0].revents & POLLIN)) continue;
      while (::read(inotify_, events, sizeof events) > 0) {
      }
      WatchRequestDir();  // the directory may just have been made
      signalled_ = true;
      // Taking the mutex orders this wake after a blocked thread's look for requests, or before
      // its next one: either it is already waiting, or it will see the signal.
      sched::Scheduler& s = sched::Get();
      { std::lock_guard<std::mutex> g(s.mu); }
      s.cv.notify_all();
    }
  }

  fs::path dir_;
  int inotify_ = -1, stop_ = -1, machineWatch_ = -1;
  std::atomic<bool> signalled_{true};
  std::thread thread_;
};

// The watcher's thread takes the scheduler's mutex to wake blocked threads, so it is joined
// with that mutex released.
void StopRequestWatcher(Machine& m) {
  if (!m.user) return;
  std::shared_ptr<RequestWatcher> watcher;
  {
    std::lock_guard<std::mutex> g(sched::Get().mu);
    watcher.swap(Of(m).requestWatcher);
  }
}

}  // namespace winsim::user

namespace {

int64_t SteadyMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::wstring Interface(const std::wstring& instanceId, const std::wstring& guid) {
  std::wstring name = L"\\\\?\\" + instanceId + L"#";
  std::replace(name.begin() + 4, name.end(), L'\\', L'#');
  for (wchar_t c : guid) name += static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return name;
}

// With both locks held. EVENT, when given, is the timeline's: a device plugged in for the first
// time is registered from the description it carries, appended so that earlier devnode numbers stay.
void Broadcast(Machine& m, user::State& st, bool arrive, const std::string& instanceId, const char* source,
               const winsim::model::TimelineEvent* event = nullptr) {
  // callsBefore places the event in the call trace: a test can tell the calls it caused from those
  // made before it, whatever order the program's threads happened to run in.
  json record = {{"event", arrive ? "arrive" : "remove"},
                 {"instanceId", instanceId},
                 {"source", source},
                 {"at", winsim::FormatIsoMillis(winsim::NowMillis(m))},
                 {"callsBefore", m.calls.size()}};
  pnp::Device* d = pnp::FindDevice(m, winsim::Utf8ToWide(instanceId));
  if (!d && arrive) {
    d = event && event->device ? &pnp::Devices(m).emplace_back(winsim::model::Described(*event, true))
                               : pnp::RegisterFromTimeline(m, winsim::Utf8ToWide(instanceId), true);
    if (d) record["registered"] = true;
  }
  if (!d) {
    record["ignored"] = "no such device";
    user::ReportEntry(m, "deviceEvents").push_back(record);
    return;
  }
  d->present = arrive;
  json sentTo = json::array();
  std::wstring id = pnp::InstanceId(*d);
  for (const std::wstring& guidText : pnp::Wide(d->interfaceClass.items)) {
    GUID guid{};
    pnp::ParseGuid(guidText, guid);
    std::wstring name = Interface(id, guidText);
    for (const user::Registration& r : st.registrations) {
      user::Window* w = user::FindWindow(st, r.window);
      if (!w || !(r.allClasses || pnp::SameGuid(r.interfaceClass, guid))) continue;
      user::Sent s;
      s.hwnd = r.window;
      s.message = WM_DEVICECHANGE;
      s.wParam = arrive ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
      size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (name.size() + 1) * sizeof(wchar_t);
      s.payload.assign(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)), 0);
      auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(s.payload.data());
      b->dbcc_size = static_cast<DWORD>(size);
      b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      b->dbcc_classguid = guid;
      std::memcpy(b->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
      s.notification = winsim::WideToUtf8(name);
      st.queues[w->threadId].sent.push_back(std::move(s));
      sentTo.push_back(winsim::WideToUtf8(name));
    }
  }
  record["interfacesSent"] = sentTo;
  user::ReportEntry(m, "deviceEvents").push_back(record);
  sched::Get().cv.notify_all();
}

// Requests the winsim command left while this program holds the machine, oldest first.
void TakeRequests(Machine& m, user::State& st) {
  std::error_code ec;
  fs::path dir = m.dir / kRequestDir;
  if (!fs::is_directory(dir, ec)) return;
  std::vector<fs::path> files;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    if (it->path().extension() == ".req") files.push_back(it->path());
  std::sort(files.begin(), files.end());
  for (const fs::path& f : files) {
    std::ifstream in(f);
    std::string verb, id;
    in >> verb;
    std::getline(in >> std::ws, id);
    in.close();
    fs::remove(f, ec);
    if ((verb != "plug" && verb != "unplug") || id.empty()) {
      std::fprintf(stderr, "winsim: ignored malformed plug request %s\n", f.filename().c_str());
      continue;
    }
    Broadcast(m, st, verb == "plug", id, "winsim plug");
  }
}

void StartTimeline(Machine& m, user::State& st) {
  st.timelineStarted = true;
  int64_t now = winsim::NowMillis(m);
  for (const winsim::model::TimelineEvent& e : pnp::Timeline(m))
    st.timeline.push_back({now + e.afterListeningMs.value_or(0), e});
  std::stable_sort(st.timeline.begin(), st.timeline.end(),
                   [](const user::TimelineEvent& a, const user::TimelineEvent& b) { return a.due < b.due; });
}

}  // namespace

namespace winsim::sched {

bool PollsForRequests(Machine& m) {
  return m.user && !user::Of(m).registrations.empty() && !user::Of(m).requestWatcher;
}

int64_t DeliverDue(Machine& m) {
  if (!m.user) return kNever;
  user::State& st = user::Of(m);
  if (!st.registrations.empty()) {
    if (st.requestWatcher) {
      if (st.requestWatcher->TakeSignal()) TakeRequests(m, st);
    } else {
      int64_t steady = SteadyMillis();
      if (steady >= st.nextRequestCheck) {
        st.nextRequestCheck = steady + kRequestPollMs;
        TakeRequests(m, st);
      }
    }
  }
  int64_t now = NowMillis(m);
  while (!st.timeline.empty() && st.timeline.front().due <= now) {
    user::TimelineEvent e = st.timeline.front();
    st.timeline.erase(st.timeline.begin());
    // What has happened leaves the machine's timeline, so that the next run does not repeat it.
    auto& list = pnp::Timeline(m);
    auto happened = std::find(list.begin(), list.end(), e.entry);
    if (happened != list.end()) list.erase(happened);
    Broadcast(m, st, e.entry.event == "arrive", e.entry.instanceId, "timeline", &e.entry);
  }
  return st.timeline.empty() ? kNever : st.timeline.front().due;
}

}  // namespace winsim::sched

extern "C" {

HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
  WINSIM_API(call, "RegisterDeviceNotificationW", nullptr);
  const auto* hdr = static_cast<const DEV_BROADCAST_HDR*>(filter);
  if (!hdr || (flags & ~static_cast<DWORD>(DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Only windows receive broadcasts here (there are no services to notify), and only of
  // device interfaces.
  if ((flags & DEVICE_NOTIFY_SERVICE_HANDLE) || hdr->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      hdr->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  Machine& m = call.machine();
  sched::Scheduler& s = sched::Get();
  std::lock_guard<std::mutex> g(s.mu);
  user::State& st = user::Of(m);
  HWND window = static_cast<HWND>(recipient);
  if (!user::FindWindow(st, window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  user::Registration r;
  r.window = window;
  r.allClasses = (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
  r.interfaceClass = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(hdr)->dbcc_classguid;
  r.handle = m.AddHandle(user::kNotifyKind);
  st.registrations.push_back(r);
  if (!st.timelineStarted) StartTimeline(m, st);
  if (!st.requestWatcher) st.requestWatcher = user::RequestWatcher::Start(m.dir);
  s.cv.notify_all();  // blocked threads now have a timeline to wait for
  return reinterpret_cast<HDEVNOTIFY>(r.handle);
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY handle) {
  WINSIM_API(call, "UnregisterDeviceNotification", FALSE);
  Machine& m = call.machine();
  uintptr_t v = reinterpret_cast<uintptr_t>(handle);
  if (!m.CloseHandle(v, user::kNotifyKind)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(sched::Get().mu);
  auto& regs = user::Of(m).registrations;
  regs.erase(std::remove_if(regs.begin(), regs.end(), [&](const user::Registration& r) { return r.handle == v; }),
             regs.end());
  return TRUE;
}

}  // extern "C"

// ---------------------------------------------------------------- controls

namespace winsim {

int ThreadsRunning() {
  sched::Scheduler& s = sched::Get();
  std::lock_guard<std::mutex> g(s.mu);
  return s.threadsRunning;
}

std::vector<WindowRecord> WindowsCreated() {
  std::lock_guard<std::recursive_mutex> api(ApiLock());
  std::vector<WindowRecord> out;
  const json& list = CurrentMachine().runReport["windows"];
  if (!list.is_array()) return out;
  for (const json& w : list) {
    WindowRecord r;
    r.className = w.value("class", std::string());
    r.title = w.value("title", std::string());
    r.showCommands = w.value("showCommands", std::vector<int>());
    r.visible = w.value("visible", false);
    r.everVisible = w.value("everVisible", false);
    r.destroyed = w.value("destroyed", false);
    out.push_back(r);
  }
  return out;
}

static void Change(const std::string& instanceId, bool arrive) {
  std::lock_guard<std::recursive_mutex> api(ApiLock());
  Machine& m = CurrentMachine();
  if (!pnp::FindDevice(m, Utf8ToWide(instanceId)) && !(arrive && pnp::RegisterFromTimeline(m, Utf8ToWide(instanceId), false)))
    throw std::runtime_error("no device " + instanceId + " on this machine");
  std::lock_guard<std::mutex> g(sched::Get().mu);
  Broadcast(m, user::Of(m), arrive, instanceId, "test");
}

void DeviceArrives(const std::string& instanceId) { Change(instanceId, true); }
void DeviceLeaves(const std::string& instanceId) { Change(instanceId, false); }

std::vector<std::string> NotificationsDelivered() {
  std::lock_guard<std::recursive_mutex> api(ApiLock());
  std::vector<std::string> out;
  const json& list = CurrentMachine().runReport["notificationsDelivered"];
  if (list.is_array())
    for (const json& n : list) out.push_back(n.value("event", std::string()) + " " + n.value("interface", std::string()));
  return out;
}

std::string InterfaceName(const std::string& instanceId, const std::string& interfaceClassGuid) {
  return WideToUtf8(Interface(Utf8ToWide(instanceId), Utf8ToWide(interfaceClassGuid)));
}

namespace {

// Whether a program holds the machine in DIR; false once this process could take its lock.
bool Busy(const fs::path& dir) {
  int fd = ::open((dir / ".winsim.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);  // releases the lock if it was taken
  return busy;
}

void EditPresent(const fs::path& dir, const std::string& instanceId, bool plug) {
  Machine m;
  m.Load(dir);
  pnp::Device* d = pnp::FindDevice(m, Utf8ToWide(instanceId));
  if (!d && plug) d = pnp::RegisterFromTimeline(m, Utf8ToWide(instanceId), true);
  if (!d) throw std::runtime_error("no device " + instanceId + " on this machine");
  d->present = plug;
  m.Save();
}

}  // namespace

bool PlugOnMachine(const std::string& dirText, const std::string& instanceId, bool plug) {
  fs::path dir = fs::absolute(dirText);
  fs::path request;
  std::error_code ec;
  for (int64_t start = SteadyMillis(); SteadyMillis() - start < 10000;) {
    // Taken first: a program may take the request and end between two looks.
    if (!request.empty() && !fs::exists(request, ec)) return true;
    if (!Busy(dir)) {
      // The program has ended. A request it took is gone; one it left is withdrawn, and the
      // change is made on disk instead.
      if (!request.empty() && !fs::remove(request, ec)) return true;
      EditPresent(dir, instanceId, plug);
      return false;
    }
    if (request.empty()) {
      std::ifstream in(dir / "machine.json");
      json doc = json::parse(in, nullptr, false);
      Machine probe;
      probe.doc = doc.is_discarded() ? json::object() : doc;
      if (!pnp::FindDevice(probe, Utf8ToWide(instanceId)) &&
          !(plug && pnp::RegisterFromTimeline(probe, Utf8ToWide(instanceId), true)))
        throw std::runtime_error("no device " + instanceId + " on this machine");
      fs::create_directories(dir / kRequestDir);
      std::ostringstream name;
      name << SteadyMillis() << "-" << ::getpid();
      request = dir / kRequestDir / (name.str() + ".req");
      fs::path tmp = request;
      tmp += ".tmp";
      {
        std::ofstream out(tmp);
        out << (plug ? "plug " : "unplug ") << instanceId << "\n";
      }
      fs::rename(tmp, request);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  fs::remove(request, ec);
  throw std::runtime_error("the program running on " + dir.string() + " did not take the request");
}

}  // namespace winsim
