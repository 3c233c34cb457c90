// A file a tool writes on its own, on POSIX systems (platform/output_file.h):
// a plain descriptor, no flock; the whole-buffer write is descriptor_io's.
// One thread at a time per object.
#include "platform/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>
#include <vector>

#include "platform/posix/descriptor_io.h"

namespace plat {
namespace {

int DescriptorOf(std::intptr_t file) { return static_cast<int>(file); }

}  // namespace

bool OutputFile::OpenPath(const std::string& path, int systemOpenFlags) {
  Close();
  const int fd = ::open(path.c_str(), systemOpenFlags, 0600);
  if (fd < 0) return false;
  file_ = fd;
  return true;
}

bool OutputFile::OpenToAppend(const std::string& path) {
  return OpenPath(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC);
}

bool OutputFile::OpenEmptied(const std::string& path) {
  return OpenPath(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
}

bool OutputFile::CreateUnique(const std::string& pattern, std::string& path) {
  Close();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  file_ = fd;
  path = name.data();
  return true;
}

bool OutputFile::GetLength(std::uint64_t& length) const {
  if (!IsOpenOrFail()) return false;
  struct stat st {};
  if (::fstat(DescriptorOf(file_), &st) != 0) return false;
  length = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool OutputFile::WriteAll(const void* data, std::size_t size) {
  if (!IsOpenOrFail()) return false;
  return WriteAllToDescriptor(DescriptorOf(file_), data, size);
}

bool OutputFile::CutTo(std::uint64_t length) {
  if (!IsOpenOrFail()) return false;
  if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    return false;
  }
  return ::ftruncate(DescriptorOf(file_), static_cast<off_t>(length)) == 0;
}

bool OutputFile::Sync() {
  if (!IsOpenOrFail()) return false;
  return ::fsync(DescriptorOf(file_)) == 0;
}

bool OutputFile::Close() {
  if (file_ < 0) return true;
  const int fd = DescriptorOf(std::exchange(file_, -1));
  return ::close(fd) == 0;
}

}  // namespace plat
