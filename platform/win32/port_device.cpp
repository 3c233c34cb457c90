// Opening ports by name on Windows and the communications calls on port
// handles; the settings of the devices that time themselves, and the
// no-sharing claim of a TCP printer, which the system cannot give a socket.
// Any thread. The replaceable opener is an atomic pointer; SelfTimedPort
// guards its settings with its own mutex.
#include "platform/port_device.h"

#include <atomic>
#include <cstdio>

#include "platform/errors.h"
#include "platform/port_names.h"
#include "platform/win32/win32_ports.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

std::atomic<PortOpener*> g_opener{nullptr};

std::shared_ptr<PortDevice> LookupPort(HANDLE h) {
  auto object = LookupHandle(h);
  auto port = std::dynamic_pointer_cast<PortDevice>(object);
  if (!port) SetLastError(object ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
  return port;
}

// A TCP printer is claimed through a named object of the session: a
// second spooler that reaches the same printer finds it and stays out, as
// it would find a device opened with no sharing.
class ClaimedPort final : public PortDevice {
 public:
  ClaimedPort(std::shared_ptr<PortDevice> inner, W32_HANDLE claim)
      : inner_(std::move(inner)), claim_(claim) {}
  ~ClaimedPort() override { ::CloseHandle(claim_); }
  bool Read(void* b, DWORD s, DWORD* r) override { return inner_->Read(b, s, r); }
  bool Write(const void* d, DWORD s, DWORD* w) override { return inner_->Write(d, s, w); }
  void Close() override { inner_->Close(); }
  bool SetCommMask(DWORD m) override { return inner_->SetCommMask(m); }
  bool GetCommTimeouts(COMMTIMEOUTS& t) override { return inner_->GetCommTimeouts(t); }
  bool SetCommTimeouts(const COMMTIMEOUTS& t) override { return inner_->SetCommTimeouts(t); }
  bool ClearCommError(DWORD& e) override { return inner_->ClearCommError(e); }
  bool DeviceIoControl(DWORD c, void* o, DWORD s, DWORD* r) override {
    return inner_->DeviceIoControl(c, o, s, r);
  }

 private:
  std::shared_ptr<PortDevice> inner_;
  W32_HANDLE claim_;
};

// FNV-1a: a stable object name whatever the key contains.
std::string ClaimName(const std::string& key) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : key) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "Local\\Kelvane.Port.%016llx",
                static_cast<unsigned long long>(h));
  return buf;
}

W32_HANDLE ClaimByName(const std::string& key, DWORD& error) {
  W32_HANDLE claim = ::CreateMutexA(nullptr, FALSE, ClaimName(key).c_str());
  if (!claim) {
    error = static_cast<DWORD>(::GetLastError());
    return nullptr;
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(claim);
    error = ERROR_SHARING_VIOLATION;
    return nullptr;
  }
  return claim;
}

std::shared_ptr<PortDevice> OpenTarget(const PortTarget& target, DWORD& error) {
  switch (target.kind) {
    case PortKind::None:
      error = target.error ? target.error : kErrorNotFound;
      return nullptr;
    case PortKind::Path:
      if (target.mayCreate) return OpenFilePort(target.path, true, error);
      return OpenDevicePort(target.path, error);
    case PortKind::Socket: {
      W32_HANDLE claim = ClaimByName(target.Key(), error);
      if (!claim) return nullptr;
      auto inner = OpenSocketPort(target.host, target.port, error);
      if (!inner) {
        ::CloseHandle(claim);
        return nullptr;
      }
      return std::make_shared<ClaimedPort>(std::move(inner), claim);
    }
    case PortKind::Sim:
      // The virtual printer listens on TCP here: socket://127.0.0.1:PORT.
      error = ERROR_NOT_SUPPORTED;
      return nullptr;
  }
  error = kErrorNotFound;
  return nullptr;
}

}  // namespace

// ----------------------------------------------------------- SelfTimedPort

bool SelfTimedPort::SetCommMask(DWORD mask) {
  std::lock_guard<std::mutex> g(mutex_);
  mask_ = mask;
  return true;
}

bool SelfTimedPort::GetCommTimeouts(COMMTIMEOUTS& timeouts) {
  std::lock_guard<std::mutex> g(mutex_);
  timeouts = timeouts_;
  return true;
}

bool SelfTimedPort::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
  std::lock_guard<std::mutex> g(mutex_);
  timeouts_ = timeouts;
  return true;
}

bool SelfTimedPort::DeviceIoControl(DWORD code, void*, DWORD, DWORD* returned) {
  if (returned) *returned = 0;
  if (code == kCancelJobIoControl) return true;
  SetLastError(ERROR_INVALID_FUNCTION);
  return false;
}

bool SelfTimedPort::ClearCommError(DWORD& errors) {
  errors = TakePending();
  return true;
}

DWORD SelfTimedPort::WriteLimitMs(DWORD size) const {
  std::lock_guard<std::mutex> g(mutex_);
  const std::uint64_t limit =
      static_cast<std::uint64_t>(timeouts_.WriteTotalTimeoutMultiplier) * size +
      timeouts_.WriteTotalTimeoutConstant;
  if (limit == 0) return kUnsetWriteWaitMs;
  return limit > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(limit);
}

DWORD SelfTimedPort::ReadLimitMs() const {
  std::lock_guard<std::mutex> g(mutex_);
  // The multiplier would scale with the buffer; replies are short and the
  // engine never sets it, so only the constant counts.
  return timeouts_.ReadTotalTimeoutConstant;
}

// --------------------------------------------------------------- OpenPort

HANDLE OpenPort(const std::string& name) {
  DWORD error = 0;
  std::shared_ptr<PortDevice> device;
  if (PortOpener* opener = g_opener.load()) {
    device = opener->Open(name, error);
  } else {
    device = OpenTarget(ResolvePortName(name), error);
  }
  if (!device) {
    SetLastError(error ? error : kErrorNotFound);
    return INVALID_HANDLE_VALUE;
  }
  return RegisterHandle(std::move(device));
}

void SetPortOpener(PortOpener* opener) { g_opener.store(opener); }

bool SetCommMask(HANDLE port, DWORD mask) {
  auto p = LookupPort(port);
  return p && p->SetCommMask(mask);
}

bool GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts) {
  auto p = LookupPort(port);
  if (!p) return false;
  if (!timeouts) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return p->GetCommTimeouts(*timeouts);
}

bool SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts) {
  auto p = LookupPort(port);
  if (!p) return false;
  if (!timeouts) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return p->SetCommTimeouts(*timeouts);
}

bool ClearCommError(HANDLE port, DWORD* errors) {
  if (errors) *errors = 0;
  auto p = LookupPort(port);
  if (!p) return false;
  DWORD flags = 0;
  const bool ok = p->ClearCommError(flags);
  if (errors) *errors = ok ? flags : 0;
  return ok;
}

bool DeviceIoControl(HANDLE port, DWORD code, void* out, DWORD outSize,
                     DWORD* returned) {
  if (returned) *returned = 0;
  auto p = LookupPort(port);
  return p && p->DeviceIoControl(code, out, outSize, returned);
}

}  // namespace plat
