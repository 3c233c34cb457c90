// LoopbackPrinter: the printer of the side-by-side comparison and of the
// job's end, which closes each connection a set time after its sender has
// ended. Its own thread accepts and reads; the public members are called
// from bench_report's main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "bench/report_support.h"

namespace report {

// A raw TCP printer on the loopback for both sides: it reads whatever
// arrives and notes when the byte that completes the expected count came.
class LoopbackPrinter {
 public:
  LoopbackPrinter();
  ~LoopbackPrinter();
  LoopbackPrinter(const LoopbackPrinter&) = delete;
  LoopbackPrinter& operator=(const LoopbackPrinter&) = delete;

  std::uint16_t port() const { return port_; }

  // Counts from zero towards `bytes` for the next job.
  void Expect(std::uint64_t bytes) {
    std::lock_guard<std::mutex> g(mutex_);
    expected_ = bytes;
    received_ = 0;
    last_.reset();
    closed_.reset();
  }
  // How long after the sender's end the printer closes its side (a card
  // printer closes when the card is out).
  void SetCloseTime(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> g(mutex_);
    closeDelay_ = delay;
  }
  // When the printer last closed a connection, if it did since Expect.
  std::optional<Clock::time_point> LastClose() {
    std::lock_guard<std::mutex> g(mutex_);
    return closed_;
  }
  // When the expected count was reached; nothing when it is not within `limit`.
  std::optional<Clock::time_point> WaitForLastByte(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> g(mutex_);
    cv_.wait_for(g, limit, [this] { return last_.has_value(); });
    return last_;
  }
  // Until the sender has let go of every connection.
  bool WaitUntilIdle(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> g(mutex_);
    return cv_.wait_for(g, limit, [this] { return open_ == 0; });
  }

 private:
  void Run();  // the printer's own thread

  int listen_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;  // guards expected_, received_, last_, closed_, open_, closeDelay_
  std::condition_variable cv_;
  std::uint64_t expected_ = 0;
  std::uint64_t received_ = 0;
  std::optional<Clock::time_point> last_;
  std::optional<Clock::time_point> closed_;
  int open_ = 0;
  std::chrono::milliseconds closeDelay_{0};
};

}  // namespace report
