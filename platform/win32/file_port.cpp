// A plain file as a printer port on Windows: whatever is printed is added
// at its end. It is always ready, raises no printer flags and has nothing
// to say back, but a failed write (disk full, I/O error) is reported as a
// device error rather than swallowed, so the job does not count as printed.
// Any thread; one thread at a time per port, except Close.
#include <atomic>

#include "platform/errors.h"
#include "platform/win32/win32_ports.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

class FilePort final : public SelfTimedPort {
 public:
  explicit FilePort(W32_HANDLE handle) : handle_(handle) {}
  ~FilePort() override { ::CloseHandle(handle_); }

  bool Write(const void* data, DWORD size, DWORD* written) override {
    DWORD done = 0;
    const auto* p = static_cast<const char*>(data);
    while (done < size) {
      if (closed_.load()) {
        SetLastError(ERROR_INVALID_HANDLE);
        break;
      }
      W32_DWORD n = 0;
      if (!::WriteFile(handle_, p + done, size - done, &n, nullptr)) {
        SetLastError(static_cast<DWORD>(::GetLastError()));
        Raise(CE_IOE);
        break;
      }
      if (n == 0) {
        SetLastError(ERROR_DISK_FULL);
        Raise(CE_IOE);
        break;
      }
      done += static_cast<DWORD>(n);
    }
    if (written) *written = done;
    return done == size;
  }

  bool Read(void*, DWORD, DWORD* read) override {
    if (read) *read = 0;
    return true;
  }

  void Close() override { closed_.store(true); }

  bool QueryDelivery(PortDelivery& delivery) override {
    delivery = lost_ ? PortDelivery{DeliveryState::Lost, false, 0}
                     : PortDelivery{DeliveryState::Delivered, true, 0};
    return true;
  }

  // The job is on the disk once the flush says so. It takes as long as the
  // disk does (no time-out applies to a file); a failed flush stays lost.
  bool Drain(DWORD, PortDelivery& delivery) override {
    if (!lost_ && !::FlushFileBuffers(handle_)) {
      lost_ = true;
      lostError_ = static_cast<DWORD>(::GetLastError());
    }
    if (lost_) {
      Raise(CE_IOE);
      SetLastError(lostError_);
    }
    return QueryDelivery(delivery);
  }

 private:
  const W32_HANDLE handle_;
  std::atomic<bool> closed_{false};
  // A flush failed. Only the thread that uses the port touches these.
  bool lost_ = false;
  DWORD lostError_ = 0;
};

}  // namespace

std::shared_ptr<PortDevice> OpenFilePort(const std::string& path, bool mayCreate,
                                         DWORD& error) {
  W32_HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               mayCreate ? OPEN_ALWAYS : OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == w32::InvalidHandle()) {
    error = static_cast<DWORD>(::GetLastError());
    return nullptr;
  }
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    error = ERROR_BAD_DEVICE;
    return nullptr;
  }
  // Held with no sharing, nobody else writes: starting at the end once
  // appends everything.
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(h, zero, nullptr, FILE_END)) {
    error = static_cast<DWORD>(::GetLastError());
    ::CloseHandle(h);
    return nullptr;
  }
  return std::make_shared<FilePort>(h);
}

}  // namespace plat
