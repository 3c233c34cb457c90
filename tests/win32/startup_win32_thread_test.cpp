// The start-up on Windows: who can answer on standard input (a console or a
// pipe; not NUL, not a file), which boxes kelvane-headless asks in, and the
// console's Ctrl+C turned into WM_SPOOLER_STOP for the main window (run
// from a console: without one there is no Ctrl+C to raise).
// Test thread and the system's console-event thread.
#include "app/shell/startup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "app/shell/shell.h"
#include "platform/startup.h"
#include "platform/window_messages.h"
#include "platform/win32/windows_api.h"

namespace {

// Puts `in` as standard input for the guard's lifetime (and closes it).
class StandardInputAs {
 public:
  explicit StandardInputAs(W32_HANDLE in) : old_(::GetStdHandle(STD_INPUT_HANDLE)), in_(in) {
    ::SetStdHandle(STD_INPUT_HANDLE, in);
  }
  ~StandardInputAs() {
    ::SetStdHandle(STD_INPUT_HANDLE, old_);
    if (in_ && in_ != w32::InvalidHandle()) ::CloseHandle(in_);
  }
  StandardInputAs(const StandardInputAs&) = delete;
  StandardInputAs& operator=(const StandardInputAs&) = delete;

 private:
  W32_HANDLE old_;
  W32_HANDLE in_;
};

W32_HANDLE OpenForReading(const char* name, W32_DWORD disposition) {
  return ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(StandardInput, NulAndFilesCannotAnswerAPipeCan) {
  {
    W32_HANDLE nul = OpenForReading("NUL", OPEN_EXISTING);
    ASSERT_NE(nul, w32::InvalidHandle());
    StandardInputAs in(nul);
    EXPECT_FALSE(plat::StandardInputCanAnswer());
    // Nobody to answer and no policy given: the system's boxes ask.
    EXPECT_TRUE(app::UseSystemMessageBoxes(false));
    // A policy on the command line means unattended: the console boxes.
    EXPECT_FALSE(app::UseSystemMessageBoxes(true));
  }
  {
    char path[MAX_PATH] = {};
    char folder[MAX_PATH] = {};
    ASSERT_GT(::GetTempPathA(MAX_PATH, folder), 0u);
    ASSERT_NE(::GetTempFileNameA(folder, "kvi", 0, path), 0u);
    W32_HANDLE file = OpenForReading(path, OPEN_EXISTING);
    ASSERT_NE(file, w32::InvalidHandle());
    {
      StandardInputAs in(file);
      EXPECT_FALSE(plat::StandardInputCanAnswer());
    }
    ::DeleteFileA(path);
  }
  {
    W32_HANDLE readEnd = nullptr;
    W32_HANDLE writeEnd = nullptr;
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    StandardInputAs in(readEnd);
    EXPECT_TRUE(plat::StandardInputCanAnswer());
    EXPECT_FALSE(app::UseSystemMessageBoxes(false));
    ::CloseHandle(writeEnd);
  }
  {
    StandardInputAs in(nullptr);
    EXPECT_FALSE(plat::StandardInputCanAnswer());
  }
}

TEST(MainWindow, IsTheSpoolerWindowWithATimerOfItsOwn) {
  const HWND window = plat::MainWindowHandle();
  ASSERT_NE(window, 0);
  EXPECT_EQ(plat::MainWindowHandle(), window);
  EXPECT_TRUE(::IsWindow(w32::ToSystem(window)));
  EXPECT_NE(plat::SystemTimerOfMainWindow(), nullptr);
}

// Waits for WM_SPOOLER_STOP posts.
class StopSink final : public plat::WindowSink {
 public:
  StopSink() { plat::SetWindowSink(this); }
  ~StopSink() override { plat::SetWindowSink(nullptr); }
  bool Post(HWND window, UINT message, WPARAM, LPARAM) override {
    if (message != WM_SPOOLER_STOP) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      windows_.push_back(window);
    }
    changed_.notify_all();
    return true;
  }
  void Invalidate(HWND) override {}
  void BringToForeground(HWND) override {}
  // The window of the first stop, or 0 when none came within a generous
  // bound (which only keeps a broken handler from hanging the suite).
  HWND AwaitStop() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(20), [this] { return !windows_.empty(); }))
      return 0;
    return windows_.front();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HWND> windows_;
};

TEST(StopSignals, CtrlCPostsTheStopToTheMainWindow) {
  constexpr HWND kMain = 0x5151;  // a number: the stop goes to the sink
  StopSink sink;
  plat::StopSignals signals;
  signals.Take(plat::StopSignals::Life::kJoined);
  ::SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl+C may come in ignored
  // Without our handler the system's own would end the suite here.
  if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    GTEST_SKIP() << "no console to raise Ctrl+C in (error " << ::GetLastError() << ")";
  }
  // Whether it comes before Start (remembered, as a blocked signal waits)
  // or after, the stop reaches the window named there.
  signals.Start([] { return kMain; });
  EXPECT_EQ(sink.AwaitStop(), kMain);
  signals.Stop();
}

}  // namespace
