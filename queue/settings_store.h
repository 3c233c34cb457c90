// Settings store: the spooler's registry key and its values, read and written
// value by value (open, one query or set, close; nothing cached), the port
// time-outs with their defaults, and the installed-printer enumeration for
// the Settings page.
// Any thread; takes no lock.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/win_types.h"

// "SOFTWARE\VORNA\Kelvane\" + "2.00" + "\Tamrel"
inline constexpr const char* kProductKey = "SOFTWARE\\VORNA\\Kelvane\\";
inline constexpr const char* kVersionKey = "2.00";
inline constexpr const char* kProgramKey = "\\Tamrel";
std::string SettingsKeyPath();

inline constexpr DWORD kDefaultDnsTimeout = 500000;
inline constexpr DWORD kDefaultTxTimeout = 600000;

// Missing when the key or value is absent or the value does not fit the
// 50-byte area (49 characters and the zero read back; 50 characters do not).
std::optional<std::string> ReadRegString(const char* name);
// 0 when the key or value is absent or the value is larger than 4 bytes.
DWORD ReadRegDword(const char* name);
// in: *size is the buffer size; out: the bytes read. True when read.
bool ReadRegBinary(const char* name, void* buffer, DWORD* size);
bool WriteRegString(const char* name, const char* value);
bool WriteRegDword(const char* name, DWORD value);
bool WriteRegBinary(const char* name, const void* data, DWORD length);

// Always true. When either stored value is missing or 0, writes and returns
// the defaults 500000 and 600000.
bool GetPortTimeouts(DWORD* dnsTimeout, DWORD* txTimeout);

// Level-2 printer records: an array of entries followed by their strings in
// the same buffer.
struct PRINTER_INFO_2 {
  char* pPrinterName;
  char* pPortName;
};
// Bytes needed to enumerate the installed printers; 0 when there are none or
// the enumeration fails.
DWORD GetPrinterEnumSize();
// True when the enumeration succeeded and returned at least one printer.
bool EnumLocalPrinters(void* buffer, DWORD size, DWORD* count);
