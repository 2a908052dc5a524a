// A program's resources under winsim: the resource script embedded at build time (see
// cmake/resources.cmake), what the script reader makes of it, and the controls tests use.
// Product code never includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <windows.h>

namespace winsim {

struct ResourceFile {
  const char* name;  // as the script names it
  const unsigned char* data;
  size_t size;
};

// Makes SCRIPT (one of FILES) the resources of this program. The generated source of
// q52_target_resources calls it during static initialisation; the script is read at the first
// resource call. Returns true so that it can initialise a constant.
bool RegisterResources(const char* script, const ResourceFile* files, size_t count);

// A resource names itself by number ("#107" in string form) or by an upper-cased name.
struct ResourceName {
  int id = -1;
  std::wstring name;
  bool operator<(const ResourceName& o) const { return id != o.id ? id < o.id : name < o.name; }
  bool operator==(const ResourceName& o) const { return id == o.id && name == o.name; }
};
inline ResourceName ResId(int id) { return ResourceName{id, {}}; }

struct MenuItem {
  std::wstring text;
  int id = 0;
  bool separator = false;
  bool popup = false;
  std::vector<MenuItem> items;  // of a popup
};

struct Menu {
  uint16_t language = 0;
  std::vector<MenuItem> items;
};

struct AcceleratorTable {
  uint16_t language = 0;
  std::vector<ACCEL> entries;
};

struct DialogControl {
  std::string statement;    // ICON, LTEXT, CTEXT, RTEXT, PUSHBUTTON, DEFPUSHBUTTON, CONTROL, ...
  std::wstring text;        // text, or the icon's name
  int textId = -1;          // an icon named by number
  int id = 0;
  std::wstring className;   // "Static", "Button", "Edit" or CONTROL's class
  uint32_t style = 0, exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
};

struct Dialog {
  uint16_t language = 0;
  bool extended = false;  // DIALOGEX
  int x = 0, y = 0, cx = 0, cy = 0;
  uint32_t style = 0, exStyle = 0;
  std::wstring caption;
  int fontSize = 0;
  std::wstring fontName;
  std::vector<DialogControl> controls;
};

struct IconImage {
  int width = 0, height = 0, bitCount = 0;
};

struct Icon {
  uint16_t language = 0;
  std::string file;
  std::vector<IconImage> images;
};

struct StringResource {
  uint16_t language = 0;
  std::wstring text;
};

struct ResourceScript {
  std::map<std::string, long> defines;  // every #define with a numeric value
  std::map<unsigned, StringResource> strings;
  std::map<ResourceName, Menu> menus;
  std::map<ResourceName, AcceleratorTable> accelerators;
  std::map<ResourceName, Dialog> dialogs;
  std::map<ResourceName, Icon> icons;
};

// A script that cannot be read: "file:line: what".
struct ResourceError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads the script named SCRIPT; READ gives the content of a file the script names (the script
// included), or nothing when there is no such file. Throws ResourceError.
using ResourceReader = std::function<std::optional<std::string>(const std::string& name)>;
ResourceScript ParseResourceScript(const std::string& script, const ResourceReader& read);
// The same for a script on disk; the files it names are looked up beside it.
ResourceScript ReadResourceScriptFile(const std::string& path);

// The program's resources: null when none are registered or the script cannot be read (the
// reason is printed to standard error once).
const ResourceScript* ProgramResources();

// How TranslateAcceleratorW delivers its WM_COMMAND to a window: the windows part of winsim
// installs its SendMessageW here. Without one, no window is known and the call fails with
// ERROR_INVALID_WINDOW_HANDLE.
using MessageSender = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
void SetMessageSender(MessageSender sender);

}  // namespace winsim
