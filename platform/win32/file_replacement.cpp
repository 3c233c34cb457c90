// Replacing a file on Windows. A file open anywhere cannot be renamed over
// here, so ReplaceFileContents rewrites the held file in place through its
// handle (in_place_edits.cpp) and ReplaceFileWhole always answers
// NoNewFile; WriteFileAtomically still moves a flushed new file over one
// that nobody holds.
// Any thread. A held file is changed with its handle held exclusively
// (FileObject::WithExclusiveHandle), so no read or write of it runs
// meanwhile.
#include "platform/files.h"

#include <functional>
#include <random>
#include <string>
#include <thread>

#include "platform/common/files_shared.h"
#include "platform/win32/file_object.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

// Six characters for a temporary's name. Lower case and digits only: names
// differ on this system only where they differ without regard to case.
std::string RandomSuffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::minstd_rand generator(static_cast<unsigned>(
      ::GetCurrentProcessId() * 2654435761u ^ ::GetTickCount() ^
      std::hash<std::thread::id>{}(std::this_thread::get_id())));
  std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kChars) - 2);
  std::string suffix;
  for (int i = 0; i < 6; ++i) suffix += kChars[pick(generator)];
  return suffix;
}

// Writes `data` to a new file `path` + ".tmp" + six characters, flushed to
// disk and closed, ready to be moved over `path`. False with the error set
// (and nothing left behind) on failure.
bool WriteTemporaryBeside(const std::string& path, const void* data, std::size_t size,
                          std::string& tempName) {
  if (DWORD e = InjectedFileFault(FileFault::CreateTemporary, path)) return Fail(e);
  W32_HANDLE h = w32::InvalidHandle();
  for (int attempt = 0; attempt < 100 && !IsValid(h); ++attempt) {
    tempName = path + ".tmp" + RandomSuffix();
    // CREATE_NEW: never take over a file someone else made under the name.
    h = ::CreateFileA(tempName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!IsValid(h) && ::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (!IsValid(h)) return false;
  auto step = [&](FileFault point) {
    const DWORD injected = InjectedFileFault(point, path);
    if (injected != 0) SetLastError(injected);
    return injected == 0;
  };
  if (!step(FileFault::WriteTemporary) || !WriteAll(h, data, size) ||
      !step(FileFault::SyncTemporary) || !::FlushFileBuffers(h)) {
    KeepLastError keep;
    ::CloseHandle(h);
    ::DeleteFileA(tempName.c_str());
    return false;
  }
  if (!::CloseHandle(h)) {
    KeepLastError keep;
    ::DeleteFileA(tempName.c_str());
    return false;
  }
  return true;
}

// Moves a finished temporary over `target`, replacing it; the temporary is
// removed when the move fails.
bool MoveOver(const std::string& tempName, const std::string& target) {
  if (::MoveFileExA(tempName.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  KeepLastError keep;
  ::DeleteFileA(tempName.c_str());
  return false;
}

// True when `path` names the file `held` is open on. The path is opened
// with no access at all, which no share mode refuses, so our own no-sharing
// hold does not stand in the way.
bool NamesHeldFile(W32_HANDLE held, const std::string& path) {
  W32_HANDLE named = ::CreateFileA(path.c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!IsValid(named)) return false;
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  const bool same = ::GetFileInformationByHandle(held, &a) &&
                    ::GetFileInformationByHandle(named, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                    a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  ::CloseHandle(named);
  return same;
}

}  // namespace

// A file cannot be renamed over while a handle is open on it, and the
// caller's no-sharing hold is what keeps other writers out between its read
// and this rewrite; so the new contents go through the held handle itself.
// This gives up the whole-or-nothing of a rename on a crash in the middle,
// never the hold: a kill between the write and the cut leaves the new
// contents followed by the old file's tail.
bool ReplaceFileContents(HANDLE h, const std::string& path, const void* data,
                         std::size_t size) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return false;
  if (!data && size != 0) return Fail(kErrorBadAddress);
  const bool writable = file->writable();
  return file->WithExclusiveHandle([&](W32_HANDLE held) {
    if (!NamesHeldFile(held, path)) return Fail(ERROR_INVALID_PARAMETER);
    if (!writable) return Fail(ERROR_ACCESS_DENIED);
    return RewriteInPlace(held, path, data, size);
  });
}

// Nothing can be moved over a file that is held open here: the holder is
// told to edit it in place.
WholeReplacement ReplaceFileWhole(HANDLE h, const std::string& path, const void* data,
                                  std::size_t size) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return WholeReplacement::Failed;
  if (!data && size != 0) {
    Fail(kErrorBadAddress);
    return WholeReplacement::Failed;
  }
  const bool named = file->WithExclusiveHandle([&](W32_HANDLE held) {
    return NamesHeldFile(held, path) || Fail(ERROR_INVALID_PARAMETER);
  });
  if (!named) return WholeReplacement::Failed;
  Fail(ERROR_SHARING_VIOLATION);  // the held file itself stands in the way
  return WholeReplacement::NoNewFile;
}

bool WriteFileAtomically(const std::string& path, std::string_view data) {
  if (IsDirectory(path)) return Fail(ERROR_ACCESS_DENIED);
  std::string tempName;
  if (!WriteTemporaryBeside(path, data.data(), data.size(), tempName)) return false;
  return MoveOver(tempName, path);
}

}  // namespace plat
