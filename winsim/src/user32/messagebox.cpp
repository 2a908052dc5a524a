// user32: the message box, shown to nobody. It is recorded and answered at once.
#include <windows.h>

#include <cstdio>

#include "core/machine.h"
#include "core/registry.h"


namespace {

// The answer of a person who takes the first button the box offers.
int FirstButton(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_YESNOCANCEL:
    case MB_YESNO: return IDYES;
    case MB_RETRYCANCEL: return IDRETRY;
    default: return IDOK;
  }
}

}  // namespace

extern "C" {

int WINAPI MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  WINSIM_API(call, "MessageBoxW", 0);
  std::string text = winsim::WideToUtf8(lpText ? lpText : L"");
  // Windows shows "Error" when no caption is given.
  std::string caption = winsim::WideToUtf8(lpCaption ? lpCaption : L"Error");
  winsim::json& boxes = call.machine().runReport["messageBoxes"];
  if (!boxes.is_array()) boxes = winsim::json::array();
  boxes.push_back({{"text", text}, {"caption", caption}, {"type", uType}});
  std::fprintf(stderr, "winsim: message box \"%s\" (type 0x%x): %s\n", caption.c_str(), uType, text.c_str());
  std::fflush(stderr);
  return FirstButton(uType);
}

}  // extern "C"
