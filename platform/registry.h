// Registry store: HKEY_LOCAL_MACHINE keys kept in $KELVANE_HOME/registry.reg,
// a text file in the REGEDIT4 format:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\VORNA\Kelvane\2.00\Tamrel]
//   "Port"="LPT1:"
//   "dnsTimeout"=dword:0007a120
//   "Window Placement"=hex(0):2c,00,00,00,...
//
// Each call opens the file, does one query or one set and is done; nothing is
// cached. A set rewrites the file atomically under the file's no-sharing lock,
// keeping every other key, value and unreadable line as it was. A missing file
// or key: queries report missing, sets fail (keys are made by installation).
// Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

namespace plat {

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;

struct RegValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;  // REG_SZ: the bytes and the terminating zero
};

// keyPath is below HKEY_LOCAL_MACHINE, e.g. "SOFTWARE\\VORNA\\...\\Tamrel".
bool RegKeyExists(const std::string& keyPath);
std::optional<RegValue> RegQueryValue(const std::string& keyPath,
                                      const std::string& name);
bool RegSetValue(const std::string& keyPath, const std::string& name,
                 const RegValue& value);
// Installation only: creates the key (and the file) when missing.
bool RegCreateKey(const std::string& keyPath);

// The file format, for the store above, the installer and the fuzzer.
struct RegFileLine {
  enum class Kind { Header, Blank, Key, Value, Other } kind = Kind::Other;
  std::string text;      // the line as read (Other lines are kept verbatim)
  std::string key;       // Key: the path below HKEY_LOCAL_MACHINE
  std::string name;      // Value: the value name
  RegValue value;        // Value: the parsed value
};
std::vector<RegFileLine> ParseRegFile(std::string_view text);
std::string FormatRegFile(const std::vector<RegFileLine>& lines);
std::string FormatRegValueLine(const std::string& name, const RegValue& value);

}  // namespace plat
