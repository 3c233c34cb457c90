// A device the system opens by name as a port: a parallel or serial port,
// "\\.\" names, a printer share (directly or through a redirected LPT
// device). Every call goes to the system; what its driver reports is what
// the engine sees. Where the driver has no communications settings (a
// share, or a file behind the device name) the time-out calls fail, which
// the engine takes as harmless, and a failed error query counts as no flag.
// Any thread; one thread at a time per port, except Close, which cancels
// the read or write in progress.
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
  ~DevicePort() override { ::CloseHandle(handle_); }

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
    W32_DWORD n = 0;
    const bool ok = ::WriteFile(handle_, data, size, &n, nullptr) != FALSE;
    if (written) *written = static_cast<DWORD>(n);
    return ok || FailWithSystemError();
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
    return ::SetCommTimeouts(handle_, &system) != FALSE || FailWithSystemError();
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
  static bool Closed() {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }

  const W32_HANDLE handle_;
  std::atomic<bool> closed_{false};
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
