// The file object behind a files-layer handle on Windows, and the few
// pieces its bodies share: the object itself (platform/win32/files.cpp),
// replacing a file (file_replacement.cpp) and editing a held one in place
// (in_place_edits.cpp).
// Private to the platform layer's Windows files bodies.
// Any thread. Each object guards its system handle with a reader/writer
// lock so that CloseHandle from one thread never closes it under a read or
// write in another.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>

#include "platform/common/files_shared.h"
#include "platform/files.h"
#include "platform/win32/windows_api.h"

namespace plat {

// Sets `error` as the thread's last error; false, for a caller that reports
// its failure with it.
inline bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

// Runs cleanup calls without letting them overwrite the error being reported.
class KeepLastError {
 public:
  KeepLastError() : error_(GetLastError()) {}
  ~KeepLastError() { SetLastError(error_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD error_;
};

inline bool IsValid(W32_HANDLE h) { return h != nullptr && h != w32::InvalidHandle(); }

// Writes all of `data`; false with the system's error set.
inline bool WriteAll(W32_HANDLE h, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const std::size_t left = size - done;
    const W32_DWORD chunk = static_cast<W32_DWORD>(left > (1u << 30) ? (1u << 30) : left);
    W32_DWORD n = 0;
    if (!::WriteFile(h, p + done, chunk, &n, nullptr)) return false;
    if (n == 0) return Fail(ERROR_DISK_FULL);
    done += n;
  }
  return true;
}

class FileObject final : public HandleObject {
 public:
  FileObject(W32_HANDLE handle, Access access, ShareMode share, std::string path)
      : handle_(handle), access_(access), share_(share), path_(std::move(path)) {}
  ~FileObject() override { Close(); }

  bool Read(void* buffer, DWORD size, DWORD* bytesRead) override {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (bytesRead) *bytesRead = 0;
    if (!IsValid(handle_)) return Fail(ERROR_INVALID_HANDLE);
    auto* p = static_cast<char*>(buffer);
    return TransferAll(size, bytesRead, false, [&](DWORD done, DWORD left, DWORD& moved) {
      W32_DWORD n = 0;
      if (!::ReadFile(handle_, p + done, left, &n, nullptr)) return false;
      moved = n;
      return true;
    });
  }

  bool Write(const void* data, DWORD size, DWORD* bytesWritten) override {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (bytesWritten) *bytesWritten = 0;
    if (!IsValid(handle_)) return Fail(ERROR_INVALID_HANDLE);
    const auto* p = static_cast<const char*>(data);
    return TransferAll(size, bytesWritten, true, [&](DWORD done, DWORD left, DWORD& moved) {
      W32_DWORD n = 0;
      if (!::WriteFile(handle_, p + done, left, &n, nullptr)) return false;
      moved = n;
      return true;
    });
  }

  void Close() override {
    std::unique_lock<std::shared_mutex> g(mutex_);
    if (IsValid(handle_)) {
      KeepLastError keep;
      ::CloseHandle(handle_);  // ends our share-mode hold
      handle_ = w32::InvalidHandle();
    }
  }

  DWORD Size() {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (!IsValid(handle_)) {
      Fail(ERROR_INVALID_HANDLE);
      return INVALID_FILE_SIZE;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle_, &size)) return INVALID_FILE_SIZE;
    return static_cast<DWORD>(static_cast<unsigned long long>(size.QuadPart));
  }

  bool Seek(std::uint64_t offset) {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (!IsValid(handle_)) return Fail(ERROR_INVALID_HANDLE);
    if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return Fail(ERROR_INVALID_PARAMETER);
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN) != 0;
  }

  // Runs `fn(handle)` with no read or write of this object in between.
  template <typename Fn>
  bool WithExclusiveHandle(Fn fn) {
    std::unique_lock<std::shared_mutex> g(mutex_);
    if (!IsValid(handle_)) return Fail(ERROR_INVALID_HANDLE);
    return fn(handle_);
  }

  ShareMode share() const { return share_; }
  bool writable() const { return access_ != Access::Read; }
  // The path the file was opened with, for the fault hook.
  const std::string& path() const { return path_; }

 private:
  std::shared_mutex mutex_;  // guards handle_: shared for I/O, exclusive to close
  W32_HANDLE handle_;
  const Access access_;
  const ShareMode share_;
  const std::string path_;
};

// The file object behind a handle's object if it is held with no sharing,
// else nullptr with the last error set.
FileObject* HeldFile(const std::shared_ptr<HandleObject>& object);

// Whether `path` names a folder.
bool IsDirectory(const std::string& path);

// Writes `data` over the start of the held file and cuts the file to its
// length, synced, keeping the handle's position; `path` names the file for
// the fault hook. False with the last error set.
bool RewriteInPlace(W32_HANDLE held, const std::string& path, const void* data,
                    std::size_t size);

}  // namespace plat
