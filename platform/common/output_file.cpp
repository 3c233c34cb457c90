// What the systems' bodies of a tool's own output file share
// (platform/output_file.h): moving the file between objects, closing it at
// the end, and the refusal of a call on no file.
// One thread at a time per object.
#include "platform/output_file.h"

#include <cerrno>
#include <utility>

namespace plat {

OutputFile::OutputFile(OutputFile&& other) noexcept
    : file_(std::exchange(other.file_, -1)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    Close();
    file_ = std::exchange(other.file_, -1);
  }
  return *this;
}

// The caller may still be reading errno of a failure before this one.
OutputFile::~OutputFile() {
  const int saved = errno;
  Close();
  errno = saved;
}

bool OutputFile::IsOpenOrFail() const {
  if (file_ >= 0) return true;
  errno = EBADF;
  return false;
}

}  // namespace plat
