// What the Settings page and the copies dialog compute, without any widget:
// the port list built from the installed printers, the port preselected at
// start, the page's initial contents in either mode, the validation of the
// numbers typed into the edits, and the registry stores of Apply and of a
// port change. The page window shows the messages these return.
// Main thread (the page's thread); takes g_csSpooler briefly itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/printers.h"
#include "res/string_table.h"

inline constexpr const char* kSettingsErrorCaption = kSpoolerErrorCaption;
inline constexpr const char* kEnumPortsError =
    "Error enumerating ports.\r\nMake sure at least one printer is installed.";
inline constexpr const char* kSaveTimeoutError = "Error saving Port Timeout to Registry.";
inline constexpr const char* kSavePortError = "Error saving port to Registry.";
inline constexpr std::size_t kMaxPortTextChars = 99;

inline constexpr std::uint32_t kMinTimeoutSeconds = 1;
inline constexpr std::uint32_t kMaxTimeoutSeconds = 999;
inline constexpr std::uint32_t kMinCopies = 1;
inline constexpr std::uint32_t kMaxCopies = 9999;

// Index of the first item that begins with `prefix`, compared without regard
// to case (the list box's own find-string rule), or -1.
int FindPrefixNoCase(const std::vector<std::string>& items, std::string_view prefix);

// Distinct ports of the printers in order of first appearance; a port is
// not added again when an item already begins with its name.
std::vector<std::string> CollectPorts(const std::vector<plat::InstalledPrinter>& printers);

// Item to select at start: the first beginning with the stored "Port", else
// the first beginning with "LPT1:", else 0; -1 for an empty list.
int ChooseInitialPort(const std::vector<std::string>& ports,
                      const std::optional<std::string>& storedPort);

// Result of reading an edit as an unsigned decimal number within bounds.
enum class NumberCheck { Ok, NotANumber, OutOfRange };
// Accepts blanks around the digits; rejects signs, letters, an empty text
// and numbers beyond 32 bits (those as out of range).
NumberCheck ParseBoundedUnsigned(std::string_view text, std::uint32_t low,
                                 std::uint32_t high, std::uint32_t* value);
// "Please enter a positive integer." or "Please enter an integer between
// <low> and <high>."; "" for Ok.
std::string ValidationMessage(NumberCheck check, std::uint32_t low, std::uint32_t high);

struct SettingsPageInit {
  bool queueMode = false;
  std::vector<std::string> ports;
  int portSelection = -1;
  bool portListEnabled = true;
  std::vector<std::string> printers;
  int printerSelection = -1;
  bool enumerationFailed = false;  // show kEnumPortsError
  std::uint32_t notSelectedSeconds = 0;
  std::uint32_t retrySeconds = 0;
};

// The page's initialisation: the job's port and printer in queue mode, the
// installed printers' ports in manual mode, and the stored time-outs (ms
// truncated to seconds; the defaults are stored when missing).
SettingsPageInit LoadSettingsPage();

// Stores the port chosen in the list as "Port" (cut to 99 characters).
bool SavePortSelection(const std::string& port);
// Apply: "dnsTimeout" then "txTimeout" in milliseconds; a failed first store
// skips the second. False when either store failed.
bool SaveTimeouts(std::uint32_t notSelectedSeconds, std::uint32_t retrySeconds);
