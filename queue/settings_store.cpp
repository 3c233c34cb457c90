// Settings store: the spooler's registry key read and written one value at a
// time, the port time-outs with their defaults, and the installed printers as
// level-2 records for the Settings page.
// Any thread; takes no lock. Each call opens the store, does one query or one
// set and is done, so concurrent callers only ever see whole values.
#include "queue/settings_store.h"

#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/printers.h"
#include "platform/registry.h"

namespace {

// The query area of the original string read. A value fits when its bytes,
// terminator included, fill at most the whole area: 49 characters read back,
// 50 characters (51 bytes) read as missing.
constexpr std::size_t kStringArea = 50;

std::optional<plat::RegValue> QueryOwnValue(const char* name) {
  if (!name) return std::nullopt;
  return plat::RegQueryValue(SettingsKeyPath(), name);
}

bool SetOwnValue(const char* name, DWORD type, const void* data, DWORD length) {
  if (!name || (!data && length != 0)) return false;
  plat::RegValue value;
  value.type = type;
  const auto* p = static_cast<const BYTE*>(data);
  value.data.assign(p, p + length);
  return plat::RegSetValue(SettingsKeyPath(), name, value);
}

}  // namespace

std::string SettingsKeyPath() {
  return std::string(kProductKey) + kVersionKey + kProgramKey;
}

std::optional<std::string> ReadRegString(const char* name) {
  std::optional<plat::RegValue> v = QueryOwnValue(name);
  if (!v || v->data.size() > kStringArea) return std::nullopt;
  // Whatever the stored type, the bytes are the string up to the first
  // zero; a value stored without one ends with its last byte rather than
  // running on into whatever follows it.
  const auto& d = v->data;
  std::size_t len = 0;
  while (len < d.size() && d[len] != 0) ++len;
  return std::string(reinterpret_cast<const char*>(d.data()), len);
}

DWORD ReadRegDword(const char* name) {
  std::optional<plat::RegValue> v = QueryOwnValue(name);
  if (!v || v->data.size() > 4) return 0;
  DWORD result = 0;
  for (std::size_t i = 0; i < v->data.size(); ++i)
    result |= static_cast<DWORD>(v->data[i]) << (8 * i);
  return result;
}

bool ReadRegBinary(const char* name, void* buffer, DWORD* size) {
  if (!size) return false;
  std::optional<plat::RegValue> v = QueryOwnValue(name);
  if (!v) return false;
  const DWORD needed = static_cast<DWORD>(v->data.size());
  if (!buffer || needed > *size) {
    *size = needed;  // as the original reports a too-small buffer
    plat::SetLastError(plat::kErrorInsufficientBuffer);
    return false;
  }
  if (needed) std::memcpy(buffer, v->data.data(), needed);
  *size = needed;
  return true;
}

bool WriteRegString(const char* name, const char* value) {
  if (!value) return false;
  return SetOwnValue(name, plat::REG_SZ, value,
                     static_cast<DWORD>(std::strlen(value) + 1));
}

bool WriteRegDword(const char* name, DWORD value) {
  const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                         static_cast<BYTE>(value >> 16),
                         static_cast<BYTE>(value >> 24)};
  return SetOwnValue(name, plat::REG_DWORD, bytes, 4);
}

bool WriteRegBinary(const char* name, const void* data, DWORD length) {
  return SetOwnValue(name, plat::REG_NONE, data, length);
}

bool GetPortTimeouts(DWORD* dnsTimeout, DWORD* txTimeout) {
  DWORD dns = ReadRegDword("dnsTimeout");
  DWORD tx = ReadRegDword("txTimeout");
  if (dns == 0 || tx == 0) {
    // One missing value resets both; a failed write changes nothing about
    // what this run uses.
    dns = kDefaultDnsTimeout;
    tx = kDefaultTxTimeout;
    WriteRegDword("dnsTimeout", dns);
    WriteRegDword("txTimeout", tx);
  }
  if (dnsTimeout) *dnsTimeout = dns;
  if (txTimeout) *txTimeout = tx;
  return true;
}

namespace {

DWORD BytesNeeded(const std::vector<plat::InstalledPrinter>& printers) {
  std::size_t total = printers.size() * sizeof(PRINTER_INFO_2);
  for (const auto& p : printers)
    total += p.printerName.size() + 1 + p.portName.size() + 1;
  return static_cast<DWORD>(total);
}

}  // namespace

DWORD GetPrinterEnumSize() {
  std::vector<plat::InstalledPrinter> printers;
  if (!plat::ListInstalledPrinters(printers) || printers.empty()) return 0;
  return BytesNeeded(printers);
}

bool EnumLocalPrinters(void* buffer, DWORD size, DWORD* count) {
  if (count) *count = 0;
  std::vector<plat::InstalledPrinter> printers;
  if (!plat::ListInstalledPrinters(printers) || printers.empty()) return false;
  // The list may have grown since the caller asked for the size; never
  // write past the buffer it gave us.
  const DWORD needed = BytesNeeded(printers);
  if (!buffer || size < needed) {
    plat::SetLastError(plat::kErrorInsufficientBuffer);
    return false;
  }
  auto* base = static_cast<char*>(buffer);
  char* strings = base + printers.size() * sizeof(PRINTER_INFO_2);
  for (std::size_t i = 0; i < printers.size(); ++i) {
    PRINTER_INFO_2 entry{};
    const std::string& name = printers[i].printerName;
    const std::string& port = printers[i].portName;
    entry.pPrinterName = strings;
    std::memcpy(strings, name.c_str(), name.size() + 1);
    strings += name.size() + 1;
    entry.pPortName = strings;
    std::memcpy(strings, port.c_str(), port.size() + 1);
    strings += port.size() + 1;
    // memcpy: the caller's buffer need not be aligned for pointers.
    std::memcpy(base + i * sizeof(PRINTER_INFO_2), &entry, sizeof entry);
  }
  if (count) *count = static_cast<DWORD>(printers.size());
  return true;
}
