// PrintService (see print_service.h): a cupsd of our own with its
// configuration in a temporary directory, and one raw queue added with
// lpadmin. bench_report's main thread.
#include "bench/print_service.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "bench/report_support.h"

namespace report {

using namespace std::chrono_literals;

PrintService::PrintService(std::uint16_t printerPort) {
  const std::string cupsd = FindTool("cupsd", "/usr/sbin/cupsd");
  const std::string lpadmin = FindTool("lpadmin", "/usr/sbin/lpadmin");
  lp_ = FindTool("lp", "/usr/bin/lp");
  if (cupsd.empty() || lpadmin.empty() || lp_.empty()) {
    note_ = "n/a (cupsd, lpadmin or lp not installed)";
    return;
  }
  if (!Exists("/usr/lib/cups/backend/socket")) {
    note_ = "n/a (no socket backend: Debian package cups)";
    return;
  }
  char dir[] = "/tmp/kelvane-report-cups-XXXXXX";
  if (!::mkdtemp(dir)) {
    note_ = "n/a (no temporary directory)";
    return;
  }
  work_ = dir;
  // cupsd refuses to run its helpers as root and reaches its files as
  // the user it runs them as.
  ::chmod(work_.c_str(), 0755);
  std::string userLines;
  const passwd* lp = ::geteuid() == 0 ? ::getpwnam("lp") : nullptr;
  for (const char* sub : {"spool", "cache", "state", "log", "tmp"}) {
    const std::string path = work_ + "/" + sub;
    ::mkdir(path.c_str(), 0755);
    if (lp) [[maybe_unused]] int rc = ::chown(path.c_str(), lp->pw_uid, lp->pw_gid);
  }
  if (lp) userLines = "User lp\nGroup lp\n";
  {
    std::ofstream conf(work_ + "/cupsd.conf");
    conf << "Listen " << work_ << "/cups.sock\nLogLevel warn\nBrowsing Off\n"
         << "WebInterface No\n<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
         << "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
         << "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n";
    std::ofstream files(work_ + "/cups-files.conf");
    files << "ServerRoot " << work_ << "\nRequestRoot " << work_ << "/spool\nCacheDir "
          << work_ << "/cache\nStateDir " << work_ << "/state\nTempDir " << work_
          << "/tmp\nErrorLog " << work_ << "/log/error_log\nAccessLog " << work_
          << "/log/access_log\nPageLog " << work_ << "/log/page_log\nPrintcap " << work_
          << "/printcap\nSystemGroup root\n"
          << userLines;
  }
  StartChild(cupsd_,
             {cupsd, "-f", "-c", work_ + "/cupsd.conf", "-s", work_ + "/cups-files.conf"});
  const std::string socket = work_ + "/cups.sock";
  if (!WaitFor([&] { return Exists(socket); }, 10000ms)) {
    note_ = "n/a (the private cupsd did not start)";
    return;
  }
  ::setenv("CUPS_SERVER", socket.c_str(), 1);
  kt::ChildProcess add;
  StartChild(add, {lpadmin, "-p", kQueue, "-v",
                   "socket://127.0.0.1:" + std::to_string(printerPort), "-E"});
  if (add.Wait(20000ms) != 0) {
    note_ = "n/a (lpadmin could not add the queue)";
    return;
  }
  ready_ = true;
}

PrintService::~PrintService() {
  cupsd_.Stop(5000ms);
  ::unsetenv("CUPS_SERVER");
  if (!work_.empty()) {
    [[maybe_unused]] int rc = std::system(("rm -rf '" + work_ + "'").c_str());
  }
}

std::vector<std::string> PrintService::SubmitCommand(const std::string& file) const {
  return {lp_, "-d", kQueue, "-o", "raw", file};
}

}  // namespace report
