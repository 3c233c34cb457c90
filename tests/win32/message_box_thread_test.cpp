// Message boxes on Windows: with no sink installed the system's own box
// asks, with the style's buttons, owned by the spooler window when that is
// the owner named; the button a person presses is the answer. Escape and
// the close box answer only as the boxes' rules say, and a stop from
// outside answers every box that is up with its refusing button.
// Test thread and a thread that plays the person.
#include "platform/message_box.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
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

// Waits for the box captioned `caption`, then calls `act` with it once.
std::thread WhenShown(const std::string& caption, std::function<void(W32_HWND)> act,
                      bool& found) {
  return std::thread([caption, act, &found] {
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < bound) {
      if (W32_HWND box = ::FindWindowA("#32770", caption.c_str())) {
        found = true;
        act(box);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
}

// What the dialog manager sends a box for Escape and for its close box.
void SendEscapeAndClose(W32_HWND box) {
  ::SendMessageA(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(box, IDCANCEL)));
  ::SendMessageA(box, WM_CLOSE, 0, 0);
}

TEST(SystemMessageBox, EscapeAndTheCloseBoxKeepTheBoxesRules) {
  const std::string caption = "Kelvane keys " + std::to_string(::GetCurrentProcessId());
  struct Case {
    UINT style;
    int last;      // pressed after Escape and the close box
    int expected;  // what the box answers
  };
  // Abort/Retry/Ignore: no answer for them, the box waits for Ignore.
  // OK alone: they mean OK. Retry/Cancel: they mean Cancel.
  for (const Case& c : {Case{MB_ABORTRETRYIGNORE | MB_ICONERROR, IDIGNORE, IDIGNORE},
                        Case{MB_OK | MB_ICONWARNING, 0, IDOK},
                        Case{MB_RETRYCANCEL, IDRETRY, IDCANCEL}}) {
    bool found = false;
    std::thread person = WhenShown(caption, [&c](W32_HWND box) {
      SendEscapeAndClose(box);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (c.last && ::IsWindowVisible(box))
        ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(c.last, BN_CLICKED), 0);
    }, found);
    const int answer = plat::SystemMessageBoxSink()->Show(0, "Printer is out of paper.", caption,
                                                          c.style);
    person.join();
    EXPECT_TRUE(found);
    EXPECT_EQ(answer, c.expected) << "style " << c.style;
  }
}

TEST(SystemMessageBox, AStopFromOutsideAnswersEveryBoxWithItsRefusingButton) {
  const std::string caption = "Kelvane stop " + std::to_string(::GetCurrentProcessId());
  for (const auto& [style, refusing] : {std::pair<UINT, int>{MB_ABORTRETRYIGNORE, IDABORT},
                                        {MB_YESNO, IDNO},
                                        {MB_OKCANCEL, IDCANCEL},
                                        {MB_OK, IDOK}}) {
    bool found = false;
    std::thread stopper = WhenShown(caption, [](W32_HWND) { plat::EndSystemMessageBoxes(); }, found);
    const int answer = plat::SystemMessageBoxSink()->Show(0, "Quit?", caption, style);
    stopper.join();
    EXPECT_TRUE(found);
    EXPECT_EQ(answer, refusing) << "style " << style;
  }
  // With no box up there is nothing to answer.
  plat::EndSystemMessageBoxes();
}

}  // namespace
