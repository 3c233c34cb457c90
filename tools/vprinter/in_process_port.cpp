// The in-process port and its opener. Port calls: one thread at a time plus
// Close from any thread. Opener: any thread.
#include "tools/vprinter/in_process_port.h"

#include <algorithm>
#include <cctype>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/port_errors.h"

namespace vprinter {

// The real ports' bound on a write with no time-out set (a share): the
// engine measures its own time-out across calls, so this only paces them.
constexpr DWORD kUnsetWriteWaitMs = 110;

// Owned by the opener; ports hold it weakly, so a port closed after its
// opener is gone reports to nobody instead of to freed memory.
struct OpenerBook {
  struct Entry {
    VirtualPrinter* printer = nullptr;
    bool open = false;
    int opens = 0;
    int closes = 0;
    int refused = 0;
    int failNext = 0;
    std::shared_ptr<InProcessPort> last;
  };
  std::mutex mutex;  // guards entries
  std::map<std::string, Entry> entries;

  void NoteClosed(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = entries.find(key);
    if (it == entries.end()) return;
    it->second.open = false;
    ++it->second.closes;
  }
};

namespace {

// The whole time-out of a call, 0 for none; saturates rather than wraps.
DWORD TotalTimeout(DWORD multiplier, DWORD constant, DWORD size) {
  std::uint64_t total =
      static_cast<std::uint64_t>(multiplier) * size + constant;
  return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(total);
}

}  // namespace

// --- InProcessPort ---------------------------------------------------------

InProcessPort::InProcessPort(VirtualPrinter& printer) : printer_(printer) {}

InProcessPort::~InProcessPort() {
  // A port dropped without CloseHandle still frees its name.
  if (!closed_.exchange(true)) {
    if (auto book = book_.lock()) book->NoteClosed(key_);
  }
}

// Between two tries: under the real clock sleep until the printer changes
// (state, flags, bytes taken, a reply, Close) or the time-out or the rate
// limit says to look again; under a fake clock poll, since only polling
// moves that clock. `rateWait` is MsUntilAccept, or kNoAcceptExpected when
// only a change can help.
void InProcessPort::WaitBetweenTries(std::uint64_t seen, DWORD start,
                                     DWORD limit, DWORD rateWait) {
  if (!plat::IsRealClockInstalled()) {
    plat::PausePolling();
    return;
  }
  // Without a time-out we still look again now and then; a change wakes us
  // long before that in every case the printer knows of.
  DWORD wait = kLongestSleepMs;
  if (limit != 0) {
    const DWORD elapsed = plat::GetTickCount() - start;
    if (elapsed >= limit) return;
    wait = std::min(wait, limit - elapsed);
  }
  if (rateWait != VirtualPrinter::kNoAcceptExpected) {
    wait = std::min(wait, std::max<DWORD>(rateWait, 1));
  }
  printer_.WaitForChange(seen, wait);
}

bool InProcessPort::Write(const void* data, DWORD size, DWORD* written) {
  DWORD moved = 0;
  if (written) *written = 0;
  if (closed_.load()) {
    plat::SetLastError(plat::port_errors::kClosed);
    return false;
  }
  plat::COMMTIMEOUTS t = timeouts();
  DWORD limit = TotalTimeout(t.WriteTotalTimeoutMultiplier,
                             t.WriteTotalTimeoutConstant, size);
  // As a real port does for a share, which gets no time-outs.
  if (limit == 0) limit = kUnsetWriteWaitMs;
  const DWORD start = plat::GetTickCount();
  const BYTE* bytes = static_cast<const BYTE*>(data);
  for (;;) {
    // Taken before the try, so that a change during it ends the wait below.
    const std::uint64_t seen = printer_.changeCount();
    moved += static_cast<DWORD>(printer_.Accept(bytes + moved, size - moved));
    if (written) *written = moved;
    if (moved >= size) return true;
    if (closed_.load()) {
      plat::SetLastError(plat::port_errors::kCancelled);
      return false;
    }
    if (plat::GetTickCount() - start >= limit) {
      plat::SetLastError(plat::kErrorTimedOut);
      return false;
    }
    WaitBetweenTries(seen, start, limit, printer_.MsUntilAccept(size - moved));
  }
}

bool InProcessPort::Read(void* buffer, DWORD size, DWORD* read) {
  if (read) *read = 0;
  if (closed_.load()) {
    plat::SetLastError(plat::port_errors::kClosed);
    return false;
  }
  if (size == 0) return true;
  plat::COMMTIMEOUTS t = timeouts();
  const DWORD limit = TotalTimeout(t.ReadTotalTimeoutMultiplier,
                                   t.ReadTotalTimeoutConstant, size);
  const DWORD start = plat::GetTickCount();
  for (;;) {
    const std::uint64_t seen = printer_.changeCount();
    std::size_t n = printer_.TakeReply(buffer, size);
    if (n > 0) {
      if (read) *read = static_cast<DWORD>(n);
      return true;
    }
    if (closed_.load()) {
      plat::SetLastError(plat::port_errors::kCancelled);
      return false;
    }
    // Nothing to say within the time-out is a successful empty read.
    if (limit != 0 && plat::GetTickCount() - start >= limit) return true;
    WaitBetweenTries(seen, start, limit, VirtualPrinter::kNoAcceptExpected);
  }
}

void InProcessPort::Close() {
  if (!closed_.exchange(true)) {
    if (auto book = book_.lock()) book->NoteClosed(key_);
  }
  // A Read or Write waiting on another thread looks at closed_ again.
  printer_.Wake();
}

bool InProcessPort::SetCommMask(DWORD mask) {
  if (closed_.load()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  commMask_ = mask;
  return true;
}

bool InProcessPort::GetCommTimeouts(plat::COMMTIMEOUTS& timeouts) {
  if (closed_.load()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  timeouts = timeouts_;
  return true;
}

bool InProcessPort::SetCommTimeouts(const plat::COMMTIMEOUTS& timeouts) {
  if (closed_.load()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  timeouts_ = timeouts;
  return true;
}

bool InProcessPort::ClearCommError(DWORD& errors) {
  errors = 0;
  if (closed_.load()) {
    plat::SetLastError(plat::port_errors::kClosed);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++flagQueries_;
  }
  errors = printer_.TakeFlags();
  return true;
}

bool InProcessPort::DeviceIoControl(DWORD code, void* /*out*/,
                                    DWORD /*outSize*/, DWORD* returned) {
  if (returned) *returned = 0;
  if (closed_.load()) {
    plat::SetLastError(plat::port_errors::kClosed);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++ioctls_[code];
  if (code != plat::kCancelJobIoControl) {
    plat::SetLastError(plat::port_errors::kNotSupported);
    return false;
  }
  return true;
}

DWORD InProcessPort::commMask() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commMask_;
}

plat::COMMTIMEOUTS InProcessPort::timeouts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeouts_;
}

int InProcessPort::ioctlCount(DWORD code) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = ioctls_.find(code);
  return it == ioctls_.end() ? 0 : it->second;
}

int InProcessPort::flagQueries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flagQueries_;
}

// --- InProcessPortOpener ---------------------------------------------------

InProcessPortOpener::InProcessPortOpener()
    : book_(std::make_shared<OpenerBook>()) {}

InProcessPortOpener::~InProcessPortOpener() = default;

std::string InProcessPortOpener::NormaliseName(const std::string& name) {
  std::string key = name;
  if (!key.empty() && key.back() == ':') key.pop_back();
  for (char& c : key) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return key;
}

void InProcessPortOpener::Attach(const std::string& name,
                                 VirtualPrinter& printer) {
  std::lock_guard<std::mutex> lock(book_->mutex);
  book_->entries[NormaliseName(name)].printer = &printer;
}

void InProcessPortOpener::Detach(const std::string& name) {
  std::lock_guard<std::mutex> lock(book_->mutex);
  auto it = book_->entries.find(NormaliseName(name));
  if (it != book_->entries.end()) it->second.printer = nullptr;
}

void InProcessPortOpener::FailOpens(const std::string& name, int count) {
  std::lock_guard<std::mutex> lock(book_->mutex);
  book_->entries[NormaliseName(name)].failNext = count;
}

std::shared_ptr<plat::PortDevice> InProcessPortOpener::Open(
    const std::string& name, DWORD& error) {
  const std::string key = NormaliseName(name);
  // Declared before the lock: the port it replaces dies after the unlock.
  std::shared_ptr<InProcessPort> previous;
  std::lock_guard<std::mutex> lock(book_->mutex);
  auto it = book_->entries.find(key);
  if (it == book_->entries.end() || it->second.printer == nullptr) {
    error = plat::kErrorNotFound;
    return nullptr;
  }
  OpenerBook::Entry& entry = it->second;
  if (entry.failNext > 0) {
    --entry.failNext;
    ++entry.refused;
    error = plat::port_errors::kDeviceError;
    return nullptr;
  }
  if (entry.open) {
    ++entry.refused;
    error = plat::port_errors::kBusy;
    return nullptr;
  }
  auto port = std::make_shared<InProcessPort>(*entry.printer);
  port->book_ = book_;
  port->key_ = key;
  entry.open = true;
  ++entry.opens;
  previous = std::move(entry.last);
  entry.last = port;
  error = 0;
  return port;
}

bool InProcessPortOpener::IsOpen(const std::string& name) const {
  std::lock_guard<std::mutex> lock(book_->mutex);
  auto it = book_->entries.find(NormaliseName(name));
  return it != book_->entries.end() && it->second.open;
}

int InProcessPortOpener::opens(const std::string& name) const {
  std::lock_guard<std::mutex> lock(book_->mutex);
  auto it = book_->entries.find(NormaliseName(name));
  return it == book_->entries.end() ? 0 : it->second.opens;
}

int InProcessPortOpener::closes(const std::string& name) const {
  std::lock_guard<std::mutex> lock(book_->mutex);
  auto it = book_->entries.find(NormaliseName(name));
  return it == book_->entries.end() ? 0 : it->second.closes;
}

int InProcessPortOpener::refusedOpens(const std::string& name) const {
  std::lock_guard<std::mutex> lock(book_->mutex);
  auto it = book_->entries.find(NormaliseName(name));
  return it == book_->entries.end() ? 0 : it->second.refused;
}

std::shared_ptr<InProcessPort> InProcessPortOpener::lastPort(
    const std::string& name) const {
  std::lock_guard<std::mutex> lock(book_->mutex);
  auto it = book_->entries.find(NormaliseName(name));
  return it == book_->entries.end() ? nullptr : it->second.last;
}

// --- ScopedPortOpener ------------------------------------------------------

ScopedPortOpener::ScopedPortOpener(InProcessPortOpener& opener) {
  plat::SetPortOpener(&opener);
}

ScopedPortOpener::~ScopedPortOpener() { plat::SetPortOpener(nullptr); }

}  // namespace vprinter
