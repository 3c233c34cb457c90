// Settings page and copies dialog computations (see settings_model.h).
// Main thread.
#include "pages/settings_model.h"

#include <cctype>
#include <vector>

#include "app/state/spooler_state.h"
#include "queue/settings_store.h"
#include "res/string_ids.h"
#include "res/string_table.h"

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (prefix.size() > text.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const auto a = static_cast<unsigned char>(text[i]);
    const auto b = static_cast<unsigned char>(prefix[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
  }
  return true;
}

void ReplaceAll(std::string& text, std::string_view from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// Seconds shown for a stored time-out: whole seconds, truncated.
std::uint32_t ToSeconds(DWORD ms) { return ms / 1000u; }

}  // namespace

int FindPrefixNoCase(const std::vector<std::string>& items, std::string_view prefix) {
  for (std::size_t i = 0; i < items.size(); ++i)
    if (StartsWithNoCase(items[i], prefix)) return static_cast<int>(i);
  return -1;
}

std::vector<std::string> CollectPorts(const std::vector<plat::InstalledPrinter>& printers) {
  std::vector<std::string> ports;
  for (const plat::InstalledPrinter& p : printers)
    if (FindPrefixNoCase(ports, p.portName) < 0) ports.push_back(p.portName);
  return ports;
}

int ChooseInitialPort(const std::vector<std::string>& ports,
                      const std::optional<std::string>& storedPort) {
  if (ports.empty()) return -1;
  // An empty stored value would match the first item as a prefix; it is
  // treated as no value, so LPT1: still gets its turn.
  if (storedPort && !storedPort->empty()) {
    const int stored = FindPrefixNoCase(ports, *storedPort);
    if (stored >= 0) return stored;
  }
  const int lpt1 = FindPrefixNoCase(ports, "LPT1:");
  return lpt1 >= 0 ? lpt1 : 0;
}

NumberCheck ParseBoundedUnsigned(std::string_view text, std::uint32_t low,
                                 std::uint32_t high, std::uint32_t* value) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  const std::size_t digitsStart = i;
  std::uint64_t number = 0;
  bool tooLarge = false;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    number = number * 10 + static_cast<unsigned>(text[i] - '0');
    if (number > 0xFFFFFFFFull) {
      tooLarge = true;
      number = 0xFFFFFFFFull;
    }
    ++i;
  }
  if (i == digitsStart) return NumberCheck::NotANumber;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i != text.size()) return NumberCheck::NotANumber;
  if (tooLarge || number < low || number > high) return NumberCheck::OutOfRange;
  if (value) *value = static_cast<std::uint32_t>(number);
  return NumberCheck::Ok;
}

std::string ValidationMessage(NumberCheck check, std::uint32_t low, std::uint32_t high) {
  switch (check) {
    case NumberCheck::Ok:
      return "";
    case NumberCheck::NotANumber:
      return LoadResString(AFX_IDP_PARSE_INT);
    case NumberCheck::OutOfRange: {
      std::string text = LoadResString(AFX_IDP_PARSE_INT_RANGE);
      ReplaceAll(text, "%1", std::to_string(low));
      ReplaceAll(text, "%2", std::to_string(high));
      return text;
    }
  }
  return "";
}

SettingsPageInit LoadSettingsPage() {
  SettingsPageInit init;
  std::string portName;
  std::string printerName;
  {
    SpoolerLock lock;
    init.queueMode = g_bQueueMode != 0;
    portName = g_szPortName;
    printerName = g_szPrinterName;
  }
  if (init.queueMode) {
    // The job's port and printer belong to the driver's record: shown only.
    init.ports = {portName};
    init.portSelection = 0;
    init.portListEnabled = false;
    init.printers = {printerName};
    init.printerSelection = 0;
  } else {
    std::vector<plat::InstalledPrinter> printers;
    const DWORD size = GetPrinterEnumSize();
    DWORD count = 0;
    std::vector<unsigned char> buffer;
    bool ok = false;
    if (size != 0) {
      buffer.assign(size, 0);
      ok = EnumLocalPrinters(buffer.data(), size, &count);
    }
    if (ok) {
      const auto* records = reinterpret_cast<const PRINTER_INFO_2*>(buffer.data());
      for (DWORD i = 0; i < count; ++i)
        printers.push_back({records[i].pPrinterName ? records[i].pPrinterName : "",
                            records[i].pPortName ? records[i].pPortName : ""});
    } else {
      init.enumerationFailed = true;
    }
    for (const plat::InstalledPrinter& p : printers) init.printers.push_back(p.printerName);
    init.ports = CollectPorts(printers);
    init.portSelection = ChooseInitialPort(init.ports, ReadRegString("Port"));
    init.portListEnabled = true;
    init.printerSelection = -1;
  }
  DWORD dns = 0;
  DWORD tx = 0;
  GetPortTimeouts(&dns, &tx);
  init.notSelectedSeconds = ToSeconds(dns);
  init.retrySeconds = ToSeconds(tx);
  return init;
}

bool SavePortSelection(const std::string& port) {
  const std::string text = port.substr(0, kMaxPortTextChars);
  return WriteRegString("Port", text.c_str());
}

bool SaveTimeouts(std::uint32_t notSelectedSeconds, std::uint32_t retrySeconds) {
  if (!WriteRegDword("dnsTimeout", notSelectedSeconds * 1000u)) return false;
  return WriteRegDword("txTimeout", retrySeconds * 1000u);
}
