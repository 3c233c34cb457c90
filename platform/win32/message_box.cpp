// The system's message box on Windows: the default when no front end has
// installed boxes of its own. Shown with the style as given (icon,
// MB_SETFOREGROUND ...) and owned by the window named, when that is a window
// of this process.
// Any thread; the call blocks until someone answers.
#include "platform/common/system_windows.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

class SystemBoxes final : public MessageBoxSink {
 public:
  int Show(HWND owner, const std::string& text, const std::string& caption,
           UINT style) override {
    // An owner that is not ours (a made-up number, a window gone) would
    // tie the box to some stranger's window.
    W32_HWND system = IsOwnSystemWindow(owner) ? w32::ToSystem(owner) : nullptr;
    return ::MessageBoxA(system, text.c_str(), caption.c_str(), style);
  }
};

}  // namespace

MessageBoxSink* SystemMessageBoxes() {
  static SystemBoxes boxes;
  return &boxes;
}

}  // namespace plat
