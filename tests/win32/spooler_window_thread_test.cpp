// The spooler window on Windows: a real hidden window of class CVorn95App
// that the driver finds; its requests answered by the handler on the thread
// that serves them, never on the window's; WM_CLOSE, its timer and posts to
// it handed to the window sink, on the window's thread.
// Test thread, a sender thread, and the spooler window's thread.
#include "platform/spooler_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/command_channel.h"
#include "platform/single_instance.h"
#include "platform/window_messages.h"
#include "platform/win32/windows_api.h"

namespace {

// Arrivals are awaited, never timed: the bound only keeps a broken window
// from hanging the suite.
constexpr auto kArrivalBound = std::chrono::seconds(20);

struct Delivery {
  HWND window;
  UINT message;
  WPARAM wParam;
  std::thread::id thread;
};

// Records what reaches the sink and on which thread.
class WatchingSink final : public plat::WindowSink {
 public:
  WatchingSink() { plat::SetWindowSink(this); }
  ~WatchingSink() override { plat::SetWindowSink(nullptr); }

  bool Post(HWND window, UINT message, WPARAM wParam, LPARAM) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      deliveries_.push_back({window, message, wParam, std::this_thread::get_id()});
    }
    arrived_.notify_all();
    return true;
  }
  void Invalidate(HWND) override {}
  void BringToForeground(HWND) override {}

  // The first delivery of `message`, once it has come.
  bool AwaitMessage(UINT message, Delivery& found) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, kArrivalBound, [&] {
      for (const Delivery& d : deliveries_) {
        if (d.message == message) {
          found = d;
          return true;
        }
      }
      return false;
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Delivery> deliveries_;
};

HWND SpoolerWindow() {
  static const HWND window = plat::OpenSpoolerWindow();
  return window;
}

TEST(SpoolerWindow, IsAHiddenWindowOfTheDesignsClassThatStays) {
  const HWND window = SpoolerWindow();
  ASSERT_NE(window, 0);
  EXPECT_EQ(plat::OpenSpoolerWindow(), window);  // one per process
  EXPECT_TRUE(plat::IsSpoolerWindow(window));
  EXPECT_FALSE(plat::IsSpoolerWindow(window + 2));
  W32_HWND system = w32::ToSystem(window);
  char className[64] = {};
  ASSERT_GT(::GetClassNameA(system, className, sizeof className), 0);
  EXPECT_STREQ(className, "CVorn95App");
  EXPECT_FALSE(::IsWindowVisible(system));
  EXPECT_NE(::FindWindowA("CVorn95App", nullptr), nullptr);
  // Made by a thread of its own, so the caller's thread may block freely.
  EXPECT_NE(::GetWindowThreadProcessId(system, nullptr), ::GetCurrentThreadId());
}

TEST(SpoolerWindow, ARequestIsAnsweredByTheThreadThatServes) {
  const HWND window = SpoolerWindow();
  ASSERT_NE(window, 0);
  std::mutex mutex;
  std::condition_variable woken;
  int wakes = 0;
  std::thread::id handledOn;
  WPARAM handledCommand = 99;
  plat::CommandServer server;
  ASSERT_TRUE(server.Start(
      window,
      [&](UINT message, WPARAM wParam, LPARAM) -> LRESULT {
        handledOn = std::this_thread::get_id();
        handledCommand = wParam;
        return message == WM_SPOOLER_COMMAND && wParam == 3 ? 1 : 0;
      },
      [&] {
        {
          std::lock_guard<std::mutex> lock(mutex);
          ++wakes;
        }
        woken.notify_all();
      }));

  // The driver's way: SendMessageTimeoutA on the published handle.
  std::atomic<bool> sent{false};
  DWORD_PTR answer = 42;
  std::thread driver([&] {
    sent = ::SendMessageTimeoutA(w32::ToSystem(window), 0x463, 3, 0,
                                 SMTO_ABORTIFHUNG | SMTO_BLOCK, 20000, &answer) != 0;
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(woken.wait_for(lock, kArrivalBound, [&] { return wakes > 0; }));
  }
  EXPECT_EQ(server.ServePending(), 1);
  driver.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(answer, 1u);
  EXPECT_EQ(handledCommand, 3u);
  EXPECT_EQ(handledOn, std::this_thread::get_id());

  // Our own sender gets the same; a refusal is a 0, not a failure.
  LRESULT result = 42;
  std::thread client([&] {
    sent = plat::SendSpoolerMessage(window, WM_SPOOLER_COMMAND, 5, 0, &result, 20000);
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(woken.wait_for(lock, kArrivalBound, [&] { return wakes > 1; }));
  }
  EXPECT_EQ(server.ServePending(), 1);
  client.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(handledCommand, 5u);

  // Stopped: the window answers 0 and the handler runs no more.
  server.Stop();
  handledCommand = 99;
  answer = 42;
  ASSERT_NE(::SendMessageTimeoutA(w32::ToSystem(window), 0x463, 3, 0,
                                  SMTO_ABORTIFHUNG | SMTO_BLOCK, 20000, &answer),
            0);
  EXPECT_EQ(answer, 0u);
  EXPECT_EQ(server.ServePending(), 0);
  EXPECT_EQ(handledCommand, 99u);
}

TEST(SpoolerWindow, AStopEndsARequestStillWaiting) {
  const HWND window = SpoolerWindow();
  ASSERT_NE(window, 0);
  std::atomic<bool> woken{false};
  bool handled = false;
  plat::CommandServer server;
  ASSERT_TRUE(server.Start(
      window, [&](UINT, WPARAM, LPARAM) -> LRESULT { return handled = true; },
      [&] { woken = true; }));
  DWORD_PTR answer = 42;
  std::thread driver([&] {
    ::SendMessageTimeoutA(w32::ToSystem(window), 0x463, 1, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                          60000, &answer);
  });
  const auto bound = std::chrono::steady_clock::now() + kArrivalBound;
  while (!woken && std::chrono::steady_clock::now() < bound)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(woken);
  server.Stop();  // returns only once the window no longer waits for us
  driver.join();
  EXPECT_EQ(answer, 0u);
  EXPECT_FALSE(handled);
  // The window serves a new server afterwards.
  EXPECT_TRUE(server.Start(window, [](UINT, WPARAM, LPARAM) -> LRESULT { return 1; }, [] {}));
  server.Stop();
}

TEST(SpoolerWindow, AWaitingRequestStillLetsTheServingThreadSendToTheWindow) {
  // A box the main thread shows, owned by the window, disables it with a
  // message sent to the window's thread, which may be waiting for the main
  // thread's answer right then.
  const HWND window = SpoolerWindow();
  ASSERT_NE(window, 0);
  std::atomic<bool> woken{false};
  plat::CommandServer server;
  ASSERT_TRUE(server.Start(
      window, [](UINT, WPARAM, LPARAM) -> LRESULT { return 1; }, [&] { woken = true; }));
  DWORD_PTR answer = 0;
  std::thread driver([&] {
    ::SendMessageTimeoutA(w32::ToSystem(window), 0x463, 2, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                          60000, &answer);
  });
  const auto bound = std::chrono::steady_clock::now() + kArrivalBound;
  while (!woken && std::chrono::steady_clock::now() < bound)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(woken);
  DWORD_PTR ignored = 0;
  EXPECT_NE(::SendMessageTimeoutA(w32::ToSystem(window), WM_NULL, 0, 0, SMTO_BLOCK, 20000,
                                  &ignored),
            0);
  EXPECT_EQ(server.ServePending(), 1);
  driver.join();
  EXPECT_EQ(answer, 1u);
  server.Stop();
}

TEST(SpoolerWindow, CloseTimerAndPostsReachTheSinkOnTheWindowsThread) {
  const HWND window = SpoolerWindow();
  ASSERT_NE(window, 0);
  WatchingSink sink;

  // The system's close: handed on, the window stays.
  ASSERT_TRUE(::PostMessageA(w32::ToSystem(window), WM_CLOSE, 0, 0));
  Delivery close{};
  ASSERT_TRUE(sink.AwaitMessage(WM_CLOSE, close));
  EXPECT_EQ(close.window, window);
  EXPECT_NE(close.thread, std::this_thread::get_id());
  EXPECT_TRUE(::IsWindow(w32::ToSystem(window)));

  // Our post to our own window goes through the system's queue.
  constexpr UINT kPrinterWait = WM_USER + 0x67;
  ASSERT_TRUE(plat::PostMessage(window, kPrinterWait, 2, 0));
  Delivery wait{};
  ASSERT_TRUE(sink.AwaitMessage(kPrinterWait, wait));
  EXPECT_EQ(wait.wParam, 2u);
  EXPECT_NE(wait.thread, std::this_thread::get_id());

  // A made-up number never reaches a window of the system's.
  constexpr UINT kStop = WM_USER + 0x66;
  ASSERT_TRUE(plat::PostMessage(0x4711, kStop, 0, 0));
  Delivery stop{};
  ASSERT_TRUE(sink.AwaitMessage(kStop, stop));
  EXPECT_EQ(stop.window, 0x4711);
  EXPECT_EQ(stop.thread, std::this_thread::get_id());
  // Nor does one the system takes for our window: its handle's low word.
  const HWND lowWord = window & 0xFFFF;
  if (lowWord != window) {
    constexpr UINT kShowSheet = WM_USER + 0x65;
    ASSERT_TRUE(plat::PostMessage(lowWord, kShowSheet, 0, 0));
    Delivery sheet{};
    ASSERT_TRUE(sink.AwaitMessage(kShowSheet, sheet));
    EXPECT_EQ(sheet.window, lowWord);
    EXPECT_EQ(sheet.thread, std::this_thread::get_id());
  }

  ASSERT_TRUE(plat::SetSpoolerWindowTimer(20));
  Delivery tick{};
  ASSERT_TRUE(sink.AwaitMessage(WM_TIMER, tick));
  EXPECT_EQ(tick.window, window);
  EXPECT_TRUE(plat::KillSpoolerWindowTimer());
}

}  // namespace
