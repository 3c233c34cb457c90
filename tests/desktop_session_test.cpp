// Whether a POSIX process runs on a desktop: a display server named by
// DISPLAY (X11) or WAYLAND_DISPLAY (Wayland, also one without XWayland).
// The driver starts the desktop spooler there. Test thread only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/desktop_session.h"

namespace {

// Sets (or with nullopt removes) a variable for the guard's life.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~ScopedVariable() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

bool DesktopWith(std::optional<std::string> x11, std::optional<std::string> wayland) {
  ScopedVariable display("DISPLAY", std::move(x11));
  ScopedVariable waylandDisplay("WAYLAND_DISPLAY", std::move(wayland));
  return plat::HasInteractiveDesktop();
}

TEST(DesktopSession, EitherDisplayServerMakesADesktop) {
  EXPECT_TRUE(DesktopWith(":0", std::nullopt));
  EXPECT_TRUE(DesktopWith(std::nullopt, "wayland-0"));
  EXPECT_TRUE(DesktopWith("", "wayland-0"));
  EXPECT_TRUE(DesktopWith(":1", "wayland-1"));
}

// A service, a cron job or a print service's backend has neither; an
// empty value (`DISPLAY= command`) names no display either.
TEST(DesktopSession, NoDisplayServerIsNoDesktop) {
  EXPECT_FALSE(DesktopWith(std::nullopt, std::nullopt));
  EXPECT_FALSE(DesktopWith("", ""));
  EXPECT_FALSE(DesktopWith("", std::nullopt));
}

}  // namespace
