// A device the system opens by name as a port: a parallel or serial port,
// "\\.\" names, a printer share (directly or through a redirected LPT
// device). Every call goes to the system; what its driver reports is what
// the engine sees. Where the driver has no communications settings (a
// share, or a file behind the device name) the time-out calls fail, which
// the engine takes as harmless, and a failed error query counts as no flag.
// A write that no write time-out of the driver bounds (a share) is cut off
// by us after kUnsetWriteWaitMs, so that a stop request is heard soon.
// What the printer has taken is left to the default (Delivered once the
// writes returned): the parallel and USB printer drivers complete a write
// when its bytes have gone to the printer, and a share's writes are the
// print server's. The one drain the system offers, FlushFileBuffers, has no
// time-out and waits, on some drivers, for a printer that may never take
// the rest; nothing cancels it reliably (CancelIoEx does not reach every
// driver's flush), so a stalled printer would hold the print thread for
// good.
// Any thread; one thread at a time per port, except Close, which cancels
// the read or write in progress. The time-up callback runs on a thread of
// the system's pool and only cancels the port's I/O.
#include <atomic>

#include "platform/errors.h"
#include "platform/win32/win32_ports.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

// The driver's error flags that the engine tells apart; the others (line
// errors of a serial port) do not concern a printer.
DWORD OurFlags(W32_DWORD system) {
  DWORD flags = 0;
  if (system & 0x0010) flags |= CE_BREAK;
  if (system & 0x0400) flags |= CE_IOE;
  if (system & 0x0800) flags |= CE_DNS;
  if (system & 0x1000) flags |= CE_OOP;
  return flags;
}

bool FailWithSystemError() {
  SetLastError(static_cast<DWORD>(::GetLastError()));
  return false;
}

class DevicePort final : public PortDevice {
 public:
  explicit DevicePort(W32_HANDLE handle) : handle_(handle) {}
  ~DevicePort() override {
    if (timer_) {
      ::SetThreadpoolTimer(timer_, nullptr, 0, 0);
      ::WaitForThreadpoolTimerCallbacks(timer_, TRUE);
      ::CloseThreadpoolTimer(timer_);
    }
    ::CloseHandle(handle_);
  }

  bool Read(void* buffer, DWORD size, DWORD* read) override {
    if (read) *read = 0;
    if (closed_.load()) return Closed();
    W32_DWORD n = 0;
    const bool ok = ::ReadFile(handle_, buffer, size, &n, nullptr) != FALSE;
    if (read) *read = static_cast<DWORD>(n);
    return ok || FailWithSystemError();
  }

  bool Write(const void* data, DWORD size, DWORD* written) override {
    if (written) *written = 0;
    if (closed_.load()) return Closed();
    const bool bounded = BoundWrite();
    W32_DWORD n = 0;
    const bool ok = ::WriteFile(handle_, data, size, &n, nullptr) != FALSE;
    const W32_DWORD error = ok ? 0 : ::GetLastError();
    if (bounded) {
      ::SetThreadpoolTimer(timer_, nullptr, 0, 0);
      ::WaitForThreadpoolTimerCallbacks(timer_, TRUE);
    }
    if (written) *written = static_cast<DWORD>(n);
    if (ok) return true;
    // Our own bound ended it: the printer did not take the data in time.
    if (bounded && error == ERROR_OPERATION_ABORTED && !closed_.load()) {
      SetLastError(kErrorTimedOut);
    } else {
      SetLastError(static_cast<DWORD>(error));
    }
    return false;
  }

  void Close() override {
    if (closed_.exchange(true)) return;
    // A write that waits for the printer in another thread ends now; the
    // handle itself stays open until that call has let go of the object.
    ::CancelIoEx(handle_, nullptr);
  }

  bool SetCommMask(DWORD mask) override {
    return ::SetCommMask(handle_, mask) != FALSE || FailWithSystemError();
  }

  bool GetCommTimeouts(COMMTIMEOUTS& timeouts) override {
    W32_COMMTIMEOUTS system{};
    if (!::GetCommTimeouts(handle_, &system)) return FailWithSystemError();
    timeouts.ReadIntervalTimeout = system.ReadIntervalTimeout;
    timeouts.ReadTotalTimeoutMultiplier = system.ReadTotalTimeoutMultiplier;
    timeouts.ReadTotalTimeoutConstant = system.ReadTotalTimeoutConstant;
    timeouts.WriteTotalTimeoutMultiplier = system.WriteTotalTimeoutMultiplier;
    timeouts.WriteTotalTimeoutConstant = system.WriteTotalTimeoutConstant;
    return true;
  }

  bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override {
    W32_COMMTIMEOUTS system{};
    system.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    system.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    system.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    system.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    system.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    if (!::SetCommTimeouts(handle_, &system)) return FailWithSystemError();
    driverBoundsWrites_.store(timeouts.WriteTotalTimeoutConstant != 0 ||
                              timeouts.WriteTotalTimeoutMultiplier != 0);
    return true;
  }

  bool ClearCommError(DWORD& errors) override {
    errors = 0;
    W32_DWORD system = 0;
    if (!::ClearCommError(handle_, &system, nullptr)) return FailWithSystemError();
    errors = OurFlags(system);
    return true;
  }

  bool DeviceIoControl(DWORD code, void* out, DWORD outSize, DWORD* returned) override {
    W32_DWORD n = 0;
    const bool ok =
        ::DeviceIoControl(handle_, code, nullptr, 0, out, outSize, &n, nullptr) != FALSE;
    if (returned) *returned = static_cast<DWORD>(n);
    return ok || FailWithSystemError();
  }

 private:
  static void CALLBACK OnWriteTimeUp(PTP_CALLBACK_INSTANCE, PVOID self, PTP_TIMER) {
    ::CancelIoEx(static_cast<DevicePort*>(self)->handle_, nullptr);
  }

  // Arms the time-up for a write the driver does not bound; false when the
  // driver bounds it (or no timer can be had: the write then lasts as long
  // as the driver lets it).
  bool BoundWrite() {
    if (driverBoundsWrites_.load()) return false;
    if (!timer_) timer_ = ::CreateThreadpoolTimer(&DevicePort::OnWriteTimeUp, this, nullptr);
    if (!timer_) return false;
    // Relative due times are negative, in 100 ns units.
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(kUnsetWriteWaitMs) * 10000);
    FILETIME when;
    when.dwLowDateTime = due.LowPart;
    when.dwHighDateTime = due.HighPart;
    ::SetThreadpoolTimer(timer_, &when, 0, 0);
    return true;
  }

  static bool Closed() {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }

  const W32_HANDLE handle_;
  std::atomic<bool> closed_{false};
  // The driver took write time-outs: its own writes end in time.
  std::atomic<bool> driverBoundsWrites_{false};
  PTP_TIMER timer_ = nullptr;  // only the thread that writes touches it
};

}  // namespace

std::shared_ptr<PortDevice> OpenDevicePort(const std::string& name, DWORD& error) {
  W32_HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (h == w32::InvalidHandle()) {
    error = static_cast<DWORD>(::GetLastError());
    return nullptr;
  }
  return std::make_shared<DevicePort>(h);
}

}  // namespace plat
