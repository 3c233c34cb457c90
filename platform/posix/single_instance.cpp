// The single-instance marker (a flock()ed file), and the second start's
// request to the published window.
// SingleInstance: its owner's thread; the free functions: any thread.
#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/command_channel.h"
#include "platform/common/single_instance_shared.h"
#include "platform/home.h"
#include "platform/posix/file_locks.h"

namespace plat {
namespace {

int OpenMarker() {
  std::string path = SingleInstanceMarkerPath();
  if (path.empty()) return -1;
  // Close-on-exec: a spooler the driver starts must not inherit our hold.
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

int LockMarker(int fd, int operation) {
  return LockDescriptor(fd, operation | LOCK_NB);
}

}  // namespace

std::string SingleInstanceMarkerPath() {
  std::string run = RunDirectory();
  if (run.empty()) return "";
  return run + "/" + kSingleInstanceMarker;
}

// The open marker file; the lock lives as long as this descriptor.
struct SingleInstance::Marker {
  explicit Marker(int descriptor) : fd(descriptor) {}
  ~Marker() { ::close(fd); }  // closing the only descriptor drops the lock
  Marker(const Marker&) = delete;
  Marker& operator=(const Marker&) = delete;
  const int fd;
};

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire() {
  if (marker_) return true;
  int fd = OpenMarker();
  if (fd < 0) return true;  // no marker possible: run as the first instance
  if (LockMarker(fd, LOCK_EX) != 0) {
    bool taken = errno == EWOULDBLOCK;
    ::close(fd);
    return !taken;
  }
  marker_ = std::make_unique<Marker>(fd);
  return true;
}

void SingleInstance::Release() { marker_.reset(); }

bool IsSpoolerRunning() {
  int fd = OpenMarker();
  if (fd < 0) return false;
  // A shared probe: it conflicts with the spooler's exclusive hold but not
  // with another prober.
  bool running = LockMarker(fd, LOCK_SH) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return running;
}

HWND FindSpoolerWindow() { return PublishedSpoolerWindow(); }

bool AskToComeToFront(HWND window, DWORD waitMs) {
  LRESULT result = 0;
  return SendSpoolerMessage(window, kBringToFrontRequest, 0, 0, &result, waitMs);
}

}  // namespace plat
