// A file a tool writes on its own, on Windows (platform/output_file.h): the
// C runtime's descriptors, opened binary (no LF to CR LF) and not inherited,
// with no share mode beyond the runtime's default (nobody is refused).
// One thread at a time per object.
#include "platform/output_file.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <utility>
#include <vector>

namespace plat {
namespace {

int DescriptorOf(std::intptr_t file) { return static_cast<int>(file); }

int OpenDescriptor(const std::string& path, int flags) {
  int fd = -1;
  if (::_sopen_s(&fd, path.c_str(), flags | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                 _S_IREAD | _S_IWRITE) != 0)
    return -1;
  return fd;
}

}  // namespace

bool OutputFile::OpenPath(const std::string& path, int systemOpenFlags) {
  Close();
  const int fd = OpenDescriptor(path, systemOpenFlags);
  if (fd < 0) return false;
  file_ = fd;
  return true;
}

bool OutputFile::OpenToAppend(const std::string& path) {
  return OpenPath(path, _O_WRONLY | _O_CREAT | _O_APPEND);
}

bool OutputFile::OpenEmptied(const std::string& path) {
  return OpenPath(path, _O_WRONLY | _O_CREAT | _O_TRUNC);
}

// _mktemp_s offers 26 names per pattern; _O_EXCL makes sure the one it
// offers is still free when we create it.
bool OutputFile::CreateUnique(const std::string& pattern, std::string& path) {
  Close();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::_mktemp_s(name.data(), name.size()) != 0) return false;
  const int fd = OpenDescriptor(name.data(), _O_WRONLY | _O_CREAT | _O_EXCL);
  if (fd < 0) return false;
  file_ = fd;
  path = name.data();
  return true;
}

bool OutputFile::GetLength(std::uint64_t& length) const {
  if (!IsOpenOrFail()) return false;
  const long long size = ::_filelengthi64(DescriptorOf(file_));
  if (size < 0) return false;
  length = static_cast<std::uint64_t>(size);
  return true;
}

bool OutputFile::WriteAll(const void* data, std::size_t size) {
  if (!IsOpenOrFail()) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const unsigned chunk = static_cast<unsigned>(size < INT_MAX ? size : INT_MAX);
    const int n = ::_write(DescriptorOf(file_), p, chunk);
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool OutputFile::CutTo(std::uint64_t length) {
  if (!IsOpenOrFail()) return false;
  if (length > static_cast<std::uint64_t>(LLONG_MAX)) {
    errno = EINVAL;
    return false;
  }
  const errno_t e = ::_chsize_s(DescriptorOf(file_), static_cast<long long>(length));
  if (e != 0) errno = e;
  return e == 0;
}

bool OutputFile::Sync() {
  if (!IsOpenOrFail()) return false;
  return ::_commit(DescriptorOf(file_)) == 0;
}

bool OutputFile::Close() {
  if (file_ < 0) return true;
  const int fd = DescriptorOf(std::exchange(file_, -1));
  return ::_close(fd) == 0;
}

}  // namespace plat
