// The portable half of the single-instance logic: reading the published
// window number, and the second start's retry while the first instance is
// still starting (it takes the marker before it publishes its window).
// Any thread.
#include "platform/single_instance.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/common/single_instance_shared.h"
#include "platform/profile.h"

namespace plat {

HWND PublishedSpoolerWindow() {
  const std::string text = GetProfileString(kHandshakeSection, kHandshakeKey, "");
  if (text.empty()) return 0;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return 0;
  return static_cast<HWND>(value);
}

bool BringRunningInstanceToFront(DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    HWND window = FindSpoolerWindow();
    DWORD elapsed = GetTickCount() - start;
    if (window != 0 &&
        AskToComeToFront(window, timeoutMs > elapsed ? timeoutMs - elapsed : 1)) {
      return true;
    }
    if (GetTickCount() - start >= timeoutMs) return false;
    PausePolling();
  }
}

}  // namespace plat
