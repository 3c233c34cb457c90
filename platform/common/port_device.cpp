// The portable half of the port layer: the opener hook, the dispatch of the
// communications calls through the handle table with their argument checks,
// the claimed-port wrapper and the settings of the self-timed devices. Each
// system's body only opens devices (OpenTargetDevice).
// Any thread. The replaceable opener is an atomic pointer.
#include "platform/port_device.h"

#include <atomic>

#include "platform/common/files_shared.h"
#include "platform/common/port_dispatch.h"
#include "platform/errors.h"

namespace plat {
namespace {

std::atomic<PortOpener*> g_opener{nullptr};

std::shared_ptr<PortDevice> LookupPort(HANDLE h) {
  auto object = LookupHandle(h);
  auto port = std::dynamic_pointer_cast<PortDevice>(object);
  if (!port) SetLastError(object ? kErrorUnsupportedCall : kErrorBadHandle);
  return port;
}

class ClaimedPort final : public PortDevice {
 public:
  ClaimedPort(std::shared_ptr<PortDevice> inner, std::function<void()> release)
      : inner_(std::move(inner)), release_(std::move(release)) {}
  ~ClaimedPort() override {
    if (release_) release_();
  }
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
  bool QueryDelivery(PortDelivery& d) override { return inner_->QueryDelivery(d); }
  bool Drain(DWORD ms, PortDelivery& d) override { return inner_->Drain(ms, d); }

 private:
  std::shared_ptr<PortDevice> inner_;
  std::function<void()> release_;
};

// A port call that fills or reads `*argument`: the handle must name a port
// and the argument must be there.
template <typename Argument, typename Call>
bool CallWith(HANDLE port, Argument* argument, Call call) {
  auto p = LookupPort(port);
  if (!p) return false;
  if (!argument) {
    SetLastError(kErrorNullArgument);
    return false;
  }
  return call(*p, *argument);
}

}  // namespace

std::uint64_t HashPortKey(const std::string& key) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : key) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::shared_ptr<PortDevice> MakeClaimedPort(std::shared_ptr<PortDevice> inner,
                                            std::function<void()> release) {
  return std::make_shared<ClaimedPort>(std::move(inner), std::move(release));
}

// -------------------------------------------------------------- PortDevice

bool PortDevice::QueryDelivery(PortDelivery& delivery) {
  delivery = PortDelivery{DeliveryState::Delivered, true, 0};
  return true;
}

bool PortDevice::Drain(DWORD, PortDelivery& delivery) { return QueryDelivery(delivery); }

// ------------------------------------------------------------ SettingsPort

bool SettingsPort::SetCommMask(DWORD mask) {
  std::lock_guard<std::mutex> g(mutex_);
  mask_ = mask;
  return true;
}

bool SettingsPort::GetCommTimeouts(COMMTIMEOUTS& timeouts) {
  std::lock_guard<std::mutex> g(mutex_);
  timeouts = timeouts_;
  return true;
}

bool SettingsPort::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
  std::lock_guard<std::mutex> g(mutex_);
  timeouts_ = timeouts;
  return true;
}

bool SettingsPort::DeviceIoControl(DWORD code, void*, DWORD, DWORD* returned) {
  if (returned) *returned = 0;
  if (code == kCancelJobIoControl) return true;
  SetLastError(kErrorUnsupportedCall);
  return false;
}

DWORD SettingsPort::WriteLimitMs(DWORD size) const {
  std::lock_guard<std::mutex> g(mutex_);
  const std::uint64_t limit =
      static_cast<std::uint64_t>(timeouts_.WriteTotalTimeoutMultiplier) * size +
      timeouts_.WriteTotalTimeoutConstant;
  if (limit == 0) return kUnsetWriteWaitMs;
  return limit > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(limit);
}

DWORD SettingsPort::ReadLimitMs() const {
  std::lock_guard<std::mutex> g(mutex_);
  // The multiplier would scale with the buffer size; replies are short and
  // the engine never sets it, so only the constant counts.
  return timeouts_.ReadTotalTimeoutConstant;
}

// --------------------------------------------------------------- OpenPort

HANDLE OpenPort(const std::string& name) {
  DWORD error = 0;
  std::shared_ptr<PortDevice> device;
  if (PortOpener* opener = g_opener.load()) {
    device = opener->Open(name, error);
  } else {
    device = OpenTargetDevice(ResolvePortName(name), error);
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
  return CallWith(port, timeouts,
                  [](PortDevice& p, COMMTIMEOUTS& t) { return p.GetCommTimeouts(t); });
}

bool SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts) {
  return CallWith(port, timeouts,
                  [](PortDevice& p, const COMMTIMEOUTS& t) { return p.SetCommTimeouts(t); });
}

bool ClearCommError(HANDLE port, DWORD* errors) {
  if (errors) *errors = 0;
  auto p = LookupPort(port);
  if (!p) return false;
  DWORD flags = 0;
  const bool ok = p->ClearCommError(flags);
  // Every device clears its flags when the query fails; we do not rely on it.
  if (errors) *errors = ok ? flags : 0;
  return ok;
}

bool DeviceIoControl(HANDLE port, DWORD code, void* out, DWORD outSize,
                     DWORD* returned) {
  if (returned) *returned = 0;
  auto p = LookupPort(port);
  return p && p->DeviceIoControl(code, out, outSize, returned);
}

bool QueryPortDelivery(HANDLE port, PortDelivery* delivery) {
  return CallWith(port, delivery,
                  [](PortDevice& p, PortDelivery& d) { return p.QueryDelivery(d); });
}

bool DrainPort(HANDLE port, DWORD waitMs, PortDelivery* delivery) {
  return CallWith(port, delivery,
                  [waitMs](PortDevice& p, PortDelivery& d) { return p.Drain(waitMs, d); });
}

}  // namespace plat
