// A desktop session on POSIX systems is one with a display server to talk
// to: X11 (DISPLAY) or Wayland (WAYLAND_DISPLAY; a Wayland session without
// XWayland sets only that one). An empty value names no display.
// Any thread (reads the environment; the program sets it only at start-up).
#include "platform/desktop_session.h"

#include <cstdlib>

namespace plat {
namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

bool HasInteractiveDesktop() { return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY"); }

}  // namespace plat
