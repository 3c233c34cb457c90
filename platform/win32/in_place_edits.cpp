// Edits in place of a file held with no sharing, on Windows: the rewrite
// from the start that ReplaceFileContents does here, and the holder's own
// steps (OverwriteHeldRange, TruncateHeldFile). Each goes through the held
// handle, flushes before it returns and puts the handle back where it was.
// Any thread. Each edit runs with the file's handle held exclusively
// (FileObject::WithExclusiveHandle), so no read or write of it runs
// meanwhile.
#include "platform/files.h"

#include <string>

#include "platform/common/files_shared.h"
#include "platform/win32/file_object.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

// False, with the error a test wants this step of an edit in place to fail
// with as the last error, when it wants one.
bool InPlaceStep(FileFault point, const std::string& path) {
  const DWORD injected = InjectedFileFault(point, path);
  if (injected != 0) SetLastError(injected);
  return injected == 0;
}

// Runs `edit(held)` and puts the handle back at the position it had, as
// after a replacement by rename; the edit's error survives.
template <typename Edit>
bool KeepingPosition(W32_HANDLE held, Edit edit) {
  LARGE_INTEGER zero{}, position{};
  if (!::SetFilePointerEx(held, zero, &position, FILE_CURRENT)) return false;
  const bool ok = edit();
  KeepLastError keep;
  ::SetFilePointerEx(held, position, nullptr, FILE_BEGIN);
  return ok;
}

}  // namespace

bool RewriteInPlace(W32_HANDLE held, const std::string& path, const void* data,
                    std::size_t size) {
  return KeepingPosition(held, [&] {
    LARGE_INTEGER zero{};
    return InPlaceStep(FileFault::RewriteInPlace, path) &&
           ::SetFilePointerEx(held, zero, nullptr, FILE_BEGIN) && WriteAll(held, data, size) &&
           InPlaceStep(FileFault::TruncateInPlace, path) && ::SetEndOfFile(held) &&
           InPlaceStep(FileFault::SyncInPlace, path) && ::FlushFileBuffers(held);
  });
}

bool OverwriteHeldRange(HANDLE h, std::uint64_t offset, const void* data, std::size_t size) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return false;
  if (!file->writable()) return Fail(ERROR_ACCESS_DENIED);
  if (!data && size != 0) return Fail(kErrorBadAddress);
  return file->WithExclusiveHandle([&](W32_HANDLE held) {
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(held, &length)) return false;
    const auto end = static_cast<std::uint64_t>(length.QuadPart);
    if (offset > end || size > end - offset) return Fail(ERROR_INVALID_PARAMETER);
    return KeepingPosition(held, [&] {
      LARGE_INTEGER at{};
      at.QuadPart = static_cast<LONGLONG>(offset);
      return ::SetFilePointerEx(held, at, nullptr, FILE_BEGIN) &&
             InPlaceStep(FileFault::RewriteInPlace, file->path()) && WriteAll(held, data, size) &&
             InPlaceStep(FileFault::SyncInPlace, file->path()) && ::FlushFileBuffers(held);
    });
  });
}

bool TruncateHeldFile(HANDLE h, std::uint64_t length) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return false;
  if (!file->writable()) return Fail(ERROR_ACCESS_DENIED);
  return file->WithExclusiveHandle([&](W32_HANDLE held) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(held, &size)) return false;
    if (length > static_cast<std::uint64_t>(size.QuadPart)) return Fail(ERROR_INVALID_PARAMETER);
    return KeepingPosition(held, [&] {
      LARGE_INTEGER at{};
      at.QuadPart = static_cast<LONGLONG>(length);
      return ::SetFilePointerEx(held, at, nullptr, FILE_BEGIN) &&
             InPlaceStep(FileFault::TruncateInPlace, file->path()) && ::SetEndOfFile(held) &&
             InPlaceStep(FileFault::SyncInPlace, file->path()) && ::FlushFileBuffers(held);
    });
  });
}

}  // namespace plat
