// The spooler's home as the programs that feed it set it up
// (spooler_home.h).
// Any thread.
#include "queue/spooler_home.h"

#include "platform/files.h"
#include "platform/home.h"
#include "platform/port_names.h"
#include "platform/printers.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/single_instance.h"
#include "queue/job_record_text.h"
#include "queue/settings_store.h"

std::string SpoolDirectory() { return plat::JoinPath(plat::KelvaneHome(), "spool"); }

bool InstallSpoolerHome(std::string& error) {
  const std::size_t kMaxLineChars = MaxRecordLineChars();
  // Every spool file path goes on one record line of at most 77 characters:
  // a home too long for them would install fine and then fail every submit.
  const std::size_t spoolPathLength = plat::JoinPath(SpoolDirectory(), "KLV~XXXXXX").size();
  if (spoolPathLength > kMaxLineChars) {
    error = "KELVANE_HOME is too long: spool file paths under " + SpoolDirectory() +
            " would have " + std::to_string(spoolPathLength) +
            " characters, and a queue record holds at most " + std::to_string(kMaxLineChars) +
            "; choose a home of at most " +
            std::to_string(kMaxLineChars - (spoolPathLength - plat::KelvaneHome().size())) +
            " characters";
    return false;
  }
  if (!plat::MakeDirectories(plat::KelvaneHome(), 0700)) {
    error = "cannot create " + plat::KelvaneHome();
    return false;
  }
  if (!plat::RegCreateKey(SettingsKeyPath())) {
    error = "cannot create the settings key in " + plat::RegistryPath();
    return false;
  }
  if (!ReadRegString("Port")) WriteRegString("Port", "LPT1:");

  // A fresh install points LPT1: at the simulated printer where sim:
  // sockets exist; elsewhere LPT1: stays the system's own device.
  plat::PortSection ports = plat::GetProfileSection("ports");
  if (plat::kHasSimPorts && !plat::LookUpPortMapping("LPT1:", ports) &&
      !plat::WriteProfileString("ports", "LPT1:",
                                "sim:" + plat::JoinPath(plat::KelvaneHome(), "run/printer.sock"))) {
    error = "cannot write " + plat::ProfilePath();
    return false;
  }
  // Where [devices] is only our stand-in for a printer list, the printers
  // we serve go in it, for the Settings page to list. Elsewhere it is the
  // user's real printer list, and printers that are not installed do not
  // belong there.
  if (plat::IsPrinterListInProfile()) {
    const char* printers[] = {"VORNA Tamrel", "VORNA Cantella", "Tovrel"};
    for (const char* printer : printers) {
      if (plat::GetProfileString("devices", printer, "").empty())
        plat::WriteProfileString("devices", printer, "kelvane,LPT1:");
    }
  }
  // The handshake section: the spooler publishes its window there and the
  // ink levels; "InkType" 0 means "not read yet".
  if (plat::GetProfileString(plat::kHandshakeSection, "InkType", "").empty())
    plat::WriteProfileString(plat::kHandshakeSection, "InkType", "0");
  if (!plat::MakeDirectories(SpoolDirectory(), 0700)) {
    error = "cannot create " + SpoolDirectory();
    return false;
  }
  // The printer simulator and the spooler's channel live in run/.
  if (plat::RunDirectory().empty()) {
    error = "cannot create the run directory";
    return false;
  }
  return true;
}
