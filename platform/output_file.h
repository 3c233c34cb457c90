// A file a tool writes on its own, outside the sharing protocol of
// platform/files.h (no hold is taken, another opener is never refused): the
// simulated printer's copy of what it was sent, the CUPS backend's spool
// file and queue file. Whole-buffer writes, a cut back to a length, a sync
// to disk. A failure returns false and leaves its reason in errno, in the
// C library's numbers on every system, as the calls it wraps do, so that the
// caller can say it with std::strerror. One body per system
// (platform/posix/output_file.cpp, platform/win32/output_file.cpp: the C
// runtime's descriptors); what both share is platform/common/output_file.cpp.
// One thread at a time per object; the caller guards an object it shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // The file moves with the object; a moved-from object holds none.
  OutputFile(OutputFile&& other) noexcept;
  // Closes the file this object held, then takes the other's.
  OutputFile& operator=(OutputFile&& other) noexcept;
  // Closes the file; a failure of the close goes unreported.
  ~OutputFile();

  // Opens `path` for writes at its end, whatever the file grows to in the
  // meantime; created (mode 0600) when missing. Closes the file held before.
  bool OpenToAppend(const std::string& path);
  // Opens `path` emptied for writes from its start; created (mode 0600)
  // when missing. Closes the file held before.
  bool OpenEmptied(const std::string& path);
  // Creates a new file (mode 0600) named `pattern` with its last six
  // characters, "XXXXXX", made into a name nobody has; `path` gets the name.
  // Closes the file held before.
  bool CreateUnique(const std::string& pattern, std::string& path);

  bool IsOpen() const { return file_ >= 0; }
  // Bytes in the file now; false when none is open or it cannot be told.
  bool GetLength(std::uint64_t& length) const;
  // Writes all of `data` at the file's position, over partial writes and
  // signals; a write that takes nothing is a full disk (ENOSPC).
  bool WriteAll(const void* data, std::size_t size);
  // Cuts the file to `length` bytes (or lengthens it with zeros).
  bool CutTo(std::uint64_t length);
  // Waits until what was written is on the disk.
  bool Sync();
  // Closes the file; false when the close reports a failure (a write the
  // system had deferred). Holds no file afterwards either way.
  bool Close();

 private:
  // Closes the file held, then opens `path` with the system's open flags
  // (0600 when it creates it).
  bool OpenPath(const std::string& path, int systemOpenFlags);
  // True when a file is open; else false with errno EBADF.
  bool IsOpenOrFail() const;

  // The system's number for the open file; -1 when none is open.
  std::intptr_t file_ = -1;
};

}  // namespace plat
