// Message boxes on Windows: with no sink installed the system's own box
// asks, with the style's buttons, owned by the spooler window when that is
// the owner named; the button a person presses is the answer.
// Test thread and a thread that plays the person.
#include "platform/message_box.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/spooler_window.h"
#include "platform/win32/windows_api.h"

namespace {

struct Pressed {
  bool found = false;
  W32_HWND owner = nullptr;
};

// Waits for the box captioned `caption` and presses `button` on it. The
// bound only keeps a box that never comes from hanging the suite.
std::thread PressWhenShown(const std::string& caption, int button, Pressed& pressed) {
  return std::thread([caption, button, &pressed] {
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < bound) {
      if (W32_HWND box = ::FindWindowA("#32770", caption.c_str())) {
        pressed.found = true;
        pressed.owner = ::GetWindow(box, GW_OWNER);
        ::PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(button), 0);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
}

TEST(SystemMessageBox, IsTheDefaultAndAnswersWithThePressedButton) {
  plat::SetMessageBoxSink(nullptr);
  const std::string caption = "Kelvane box " + std::to_string(::GetCurrentProcessId());
  Pressed pressed;
  std::thread person = PressWhenShown(caption, IDNO, pressed);
  // The first button would be the answer of a box nobody showed.
  const int answer = plat::MessageBox(0, "Print the rest?", caption, MB_YESNO | MB_ICONQUESTION);
  person.join();
  EXPECT_TRUE(pressed.found);
  EXPECT_EQ(answer, IDNO);
}

TEST(SystemMessageBox, IsOwnedByTheSpoolerWindowButNotByAMadeUpNumber) {
  const HWND window = plat::OpenSpoolerWindow();
  ASSERT_NE(window, 0);
  const std::string caption = "Kelvane owned " + std::to_string(::GetCurrentProcessId());
  Pressed owned;
  std::thread person = PressWhenShown(caption, IDCANCEL, owned);
  EXPECT_EQ(plat::MessageBox(window, "Quit?", caption, MB_OKCANCEL), IDCANCEL);
  person.join();
  EXPECT_EQ(owned.owner, w32::ToSystem(window));

  Pressed stray;
  person = PressWhenShown(caption, IDOK, stray);
  EXPECT_EQ(plat::MessageBox(0x4711, "Quit?", caption, MB_OKCANCEL), IDOK);
  person.join();
  EXPECT_TRUE(stray.found);
  EXPECT_EQ(stray.owner, nullptr);
}

}  // namespace
