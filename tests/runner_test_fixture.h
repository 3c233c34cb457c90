// Shared fixture of the print job runner and print thread suites: a
// temporary home with the settings key, a fake clock, scripted boxes,
// recorded windows, and an in-process virtual printer on "LPT1" behind a
// port opener that also logs the size of every write call.
// Test threads only (the hooks run on the print thread; see the comments).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/state/spooler_state.h"
#include "engine/print_job_runner.h"
#include "engine/print_thread.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/port_device.h"
#include "queue/settings_store.h"
#include "tests/support/test_support.h"
#include "tools/vprinter/in_process_port.h"
#include "tools/vprinter/virtual_printer.h"

namespace rt {

inline constexpr HWND kMainWnd = 0x1234;
inline constexpr HWND kPageWnd = 0x5678;

inline std::string Prefix() {
  return std::string(reinterpret_cast<const char*>(JOB_PREFIX), sizeof JOB_PREFIX);
}

// Deterministic bytes that differ from file to file and block to block.
inline std::string Bytes(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

// One queue record: job name, port, copies, printer, ribbon, spool files.
inline std::string Record(const std::string& job, const std::string& port,
                          const std::string& copies, const std::string& printer,
                          const std::vector<std::string>& files,
                          const std::string& ribbon = "YMCKO") {
  std::string r = job + "\r\n" + port + "\r\n" + copies + "\r\n" + printer +
                  "\r\n" + ribbon + "\r\n";
  for (const auto& f : files) r += f + "\r\n";
  return r;
}

// Records separated by an empty line; the last one without (as the driver
// appends it).
inline std::string QueueText(const std::vector<std::string>& records) {
  std::string q;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i) q += "\r\n";
    q += records[i];
  }
  return q;
}

// Logs the size of every write call, then hands it to the real port.
class WriteLog {
 public:
  void Add(DWORD size) {
    std::lock_guard<std::mutex> g(mutex_);
    sizes_.push_back(size);
  }
  std::vector<DWORD> sizes() const {
    std::lock_guard<std::mutex> g(mutex_);
    return sizes_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<DWORD> sizes_;
};

// What the port says of the printer's progress at the job's end: by
// default what the in-process printer says (it has every byte a write
// returned); a test may play a TCP printer instead. Called on the print
// thread with the number of the call (from 1).
using DeliveryScript = std::function<plat::PortDelivery(int call)>;

class LoggingPort : public plat::PortDevice {
 public:
  LoggingPort(std::shared_ptr<plat::PortDevice> inner, WriteLog& log,
              const DeliveryScript* script = nullptr)
      : inner_(std::move(inner)), log_(log), script_(script) {}
  bool Read(void* b, DWORD s, DWORD* r) override { return inner_->Read(b, s, r); }
  bool Write(const void* d, DWORD s, DWORD* w) override {
    log_.Add(s);
    return inner_->Write(d, s, w);
  }
  void Close() override { inner_->Close(); }
  bool SetCommMask(DWORD m) override { return inner_->SetCommMask(m); }
  bool GetCommTimeouts(plat::COMMTIMEOUTS& t) override {
    return inner_->GetCommTimeouts(t);
  }
  bool SetCommTimeouts(const plat::COMMTIMEOUTS& t) override {
    return inner_->SetCommTimeouts(t);
  }
  bool ClearCommError(DWORD& e) override { return inner_->ClearCommError(e); }
  bool DeviceIoControl(DWORD c, void* o, DWORD s, DWORD* r) override {
    return inner_->DeviceIoControl(c, o, s, r);
  }
  bool QueryDelivery(plat::PortDelivery& d) override {
    if (script_ && *script_ && drains_ > 0) {
      d = last_;
      return true;
    }
    return inner_->QueryDelivery(d);
  }
  bool Drain(DWORD ms, plat::PortDelivery& d) override {
    if (!script_ || !*script_) return inner_->Drain(ms, d);
    d = last_ = (*script_)(++drains_);
    return true;
  }

 private:
  std::shared_ptr<plat::PortDevice> inner_;
  WriteLog& log_;
  const DeliveryScript* script_;
  int drains_ = 0;
  plat::PortDelivery last_;
};

class LoggingOpener : public plat::PortOpener {
 public:
  LoggingOpener(vprinter::InProcessPortOpener& inner, WriteLog& log,
                const DeliveryScript& script)
      : inner_(inner), log_(log), script_(script) {}
  std::shared_ptr<plat::PortDevice> Open(const std::string& name,
                                         DWORD& error) override {
    auto device = inner_.Open(name, error);
    if (!device) return nullptr;
    return std::make_shared<LoggingPort>(std::move(device), log_, &script_);
  }

 private:
  vprinter::InProcessPortOpener& inner_;
  WriteLog& log_;
  const DeliveryScript& script_;
};

// A message box sink that lets a test act (put the printer right) before it
// answers. Runs on the thread that shows the box (the print thread).
class ActingBoxes : public plat::MessageBoxSink {
 public:
  using Responder = std::function<int(const kt::RecordedBox&)>;
  explicit ActingBoxes(Responder responder) : responder_(std::move(responder)) {
    plat::SetMessageBoxSink(this);
  }
  ~ActingBoxes() override { plat::SetMessageBoxSink(nullptr); }
  int Show(HWND owner, const std::string& text, const std::string& caption,
           UINT style) override {
    kt::RecordedBox box{owner, text, caption, style};
    {
      std::lock_guard<std::mutex> g(mutex_);
      boxes_.push_back(box);
    }
    return responder_(box);
  }
  std::vector<kt::RecordedBox> boxes() const {
    std::lock_guard<std::mutex> g(mutex_);
    return boxes_;
  }

 private:
  Responder responder_;
  mutable std::mutex mutex_;
  std::vector<kt::RecordedBox> boxes_;
};

class RunnerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.InstallKey();
    // Short time-outs so a printer that goes offline gives up quickly on
    // the fake clock.
    ASSERT_TRUE(WriteRegDword("dnsTimeout", 1000));
    ASSERT_TRUE(WriteRegDword("txTimeout", 2000));
    opener_.Attach("LPT1", printer_);
    plat::SetPortOpener(&logging_);
    SpoolerLock lock;
    g_hMainWnd = kMainWnd;
    g_hJobPageWnd = kPageWnd;
  }

  void TearDown() override {
    ShutdownPrintThread();
    plat::SetPortOpener(nullptr);
  }

  // Queue mode with the given queue file contents.
  void UseQueue(const std::string& text) {
    const std::string path = home_.File("queue.txt");
    kt::WriteFileBytes(path, text);
    SpoolerLock lock;
    g_bQueueMode = 1;
    CopyField(g_szQueueFile, path.c_str());
  }

  // Manual mode: the hand-opened file as File/Open leaves it, the port in
  // the registry.
  void UseManualFile(const std::string& path, std::uint16_t copies) {
    ASSERT_TRUE(WriteRegString("Port", "LPT1:"));
    SpoolerLock lock;
    g_bQueueMode = 0;
    CopyField(g_szSpoolFiles[0], path.c_str());
    g_nCopies = copies;
    g_nFileCount = 1;
    g_nFileSize = static_cast<std::int32_t>(kt::ReadFileBytes(path).size());
    g_bFileLoaded = 1;
  }

  std::string Spool(const std::string& name, const std::string& bytes) {
    const std::string path = home_.File(name);
    kt::WriteFileBytes(path, bytes);
    return path;
  }

  // Waits in real time (the fake clock belongs to the print thread) until
  // the run has ended.
  static bool WaitForRunEnd(std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (IsPrintRunAlive()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

  static bool WaitUntil(const std::function<bool()>& condition,
                        std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

  // Starts a run on its own thread and waits for its exit code.
  DWORD RunToEnd() {
    EXPECT_TRUE(StartPrintThread(ThreadPriority::Highest));
    EXPECT_TRUE(WaitForRunEnd()) << "the print run did not end";
    return LastPrintRunExitCode();
  }

  static void SetPaused(bool paused) {
    {
      SpoolerLock lock;
      g_bPaused = paused ? 1 : 0;
    }
    NotifyPauseChanged();
  }

  // What Cancel Print does: stop request while printing, resume if paused.
  static void CancelPrint() {
    {
      SpoolerLock lock;
      if (g_bPrinting) g_bAbortJob = 1;
      g_bPaused = 0;
    }
    NotifyPauseChanged();
  }

  template <typename T>
  static T Shared(const T& value) {
    SpoolerLock lock;
    return value;
  }

  kt::TempHome home_;
  plat::ScopedFakeClock clock_{1000, 1};
  kt::RecordingWindows windows_;
  vprinter::VirtualPrinter printer_;
  vprinter::InProcessPortOpener opener_;
  WriteLog writes_;
  // Set before the run starts; read by the print thread's ports.
  DeliveryScript delivery_;
  LoggingOpener logging_{opener_, writes_, delivery_};
};

}  // namespace rt
