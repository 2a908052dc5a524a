// What tests and the winsim command use to look at a program's threads, windows and device
// notifications, and to plug devices in while it runs. Product code never includes this header.
#pragma once

#include <string>
#include <vector>

namespace winsim {

// Threads made with CreateThread whose routine has not returned yet.
int ThreadsRunning();

// The windows the program on the current machine has created, in order.
struct WindowRecord {
  std::string className, title;
  std::vector<int> showCommands;  // every ShowWindow, in order
  bool visible = false, everVisible = false, destroyed = false;
};
std::vector<WindowRecord> WindowsCreated();

// A device of the current machine arrives or leaves now: it becomes present or absent, and each
// of its device interfaces is broadcast (WM_DEVICECHANGE) to the windows registered for it.
// Throws std::runtime_error when the machine has no such device.
void DeviceArrives(const std::string& instanceId);
void DeviceLeaves(const std::string& instanceId);

// Device broadcasts that reached a window procedure: "arrival NAME" or "removal NAME".
std::vector<std::string> NotificationsDelivered();

// The symbolic link name of a device interface, as Windows forms it:
// "\\?\USB#VID_F0F0&PID_0052#Q52000123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}".
std::string InterfaceName(const std::string& instanceId, const std::string& interfaceClassGuid);

// Plugs a device of the machine in DIR in or out. While a program runs on that machine (it holds
// the machine's lock) the request is left in DIR/plug-requests/ for it: the program makes the
// change at once and broadcasts it. Otherwise machine.json is changed. True when a running
// program took the request. Throws when there is no such device or the program never took it.
bool PlugOnMachine(const std::string& dir, const std::string& instanceId, bool plug);

}  // namespace winsim
