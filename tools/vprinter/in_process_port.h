// A printer port wired straight to a VirtualPrinter in the same process, and
// an opener that hands such ports out by name, for tests that drive the
// engine without a device.
//
// InProcessPort: one thread at a time per port, except Close (any thread,
// ends a waiting Read or Write). InProcessPortOpener: any thread; its own
// mutex guards the name table and the counters.
//
// Waiting: under a fake clock (plat::ScopedFakeClock) by polling
// plat::GetTickCount with plat::PausePolling in between, so that the fake
// clock drives the time-outs; under the real clock by sleeping on the
// printer's change signal (state, flags, bytes taken, replies, Close) with
// the time-out as the bound, so that a stalled port costs no processor.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/port_device.h"
#include "tools/vprinter/virtual_printer.h"

namespace vprinter {

class InProcessPortOpener;
struct OpenerBook;

class InProcessPort : public plat::PortDevice {
 public:
  // The printer must outlive the port.
  explicit InProcessPort(VirtualPrinter& printer);
  ~InProcessPort() override;

  // Waits for the printer to take everything. It gives up when the write
  // time-out (multiplier * size + constant, in ms; kUnsetWriteWaitMs when
  // none is set, as for a share) has passed: false, last error ETIMEDOUT,
  // *written = the bytes moved. Close ends the wait at once.
  bool Write(const void* data, DWORD size, DWORD* written) override;
  // Returns the reply bytes pending (true, count > 0), or after the read
  // time-out true with 0. With no time-out it waits for a byte or Close.
  bool Read(void* buffer, DWORD size, DWORD* read) override;
  void Close() override;

  bool SetCommMask(DWORD mask) override;
  bool GetCommTimeouts(plat::COMMTIMEOUTS& timeouts) override;
  bool SetCommTimeouts(const plat::COMMTIMEOUTS& timeouts) override;
  bool ClearCommError(DWORD& errors) override;
  // Code 7 succeeds (nothing returned) and is counted; others fail (ENOTTY).
  bool DeviceIoControl(DWORD code, void* out, DWORD outSize,
                       DWORD* returned) override;

  // What the engine did to the port.
  bool closed() const { return closed_.load(); }
  DWORD commMask() const;
  plat::COMMTIMEOUTS timeouts() const;
  int ioctlCount(DWORD code = 7) const;
  int flagQueries() const;
  VirtualPrinter& printer() { return printer_; }

 private:
  friend class InProcessPortOpener;

  // The longest real-clock sleep of a Read or Write without a time-out.
  static constexpr DWORD kLongestSleepMs = 1000;
  void WaitBetweenTries(std::uint64_t seen, DWORD start, DWORD limit,
                        DWORD rateWait);

  VirtualPrinter& printer_;
  std::atomic<bool> closed_{false};
  mutable std::mutex mutex_;  // guards the settings and counters below
  DWORD commMask_ = 0;
  plat::COMMTIMEOUTS timeouts_;
  std::map<DWORD, int> ioctls_;
  int flagQueries_ = 0;
  // Set by the opener: tells it when this port closes.
  std::weak_ptr<OpenerBook> book_;
  std::string key_;
};

// Maps port names to printers. Names match case-insensitively, with or
// without a trailing colon ("LPT1:" == "lpt1"). A port opens with no
// sharing: a second open while one is open fails with EBUSY; an unknown
// name fails with ENOENT.
class InProcessPortOpener : public plat::PortOpener {
 public:
  InProcessPortOpener();
  ~InProcessPortOpener() override;

  // The printer must outlive every port opened on it.
  void Attach(const std::string& name, VirtualPrinter& printer);
  void Detach(const std::string& name);
  // Makes the next `count` opens of `name` fail (EIO), as a port that is
  // missing or held by another program.
  void FailOpens(const std::string& name, int count);

  std::shared_ptr<plat::PortDevice> Open(const std::string& name,
                                         DWORD& error) override;

  bool IsOpen(const std::string& name) const;
  int opens(const std::string& name) const;
  int closes(const std::string& name) const;
  int refusedOpens(const std::string& name) const;
  // The last port handed out for `name` (nullptr if none); kept after it
  // closes so that tests can look at what the engine did to it.
  std::shared_ptr<InProcessPort> lastPort(const std::string& name) const;

  // "LPT1:" -> "lpt1".
  static std::string NormaliseName(const std::string& name);

 private:
  std::shared_ptr<OpenerBook> book_;
};

// Installs an opener for the guard's lifetime (plat::SetPortOpener).
class ScopedPortOpener {
 public:
  explicit ScopedPortOpener(InProcessPortOpener& opener);
  ~ScopedPortOpener();
  ScopedPortOpener(const ScopedPortOpener&) = delete;
  ScopedPortOpener& operator=(const ScopedPortOpener&) = delete;
};

}  // namespace vprinter
