// Serves a VirtualPrinter to "sim:" ports over a Unix socket (protocol in
// platform/posix/sim_port.h) and takes control commands from people and scripts
// on a second socket, PATH.ctl, one line per connection.
//
// Control commands and scripts: printer_script.h.
//
// Run() and everything it calls run on one thread; Stop() may be called
// from any thread or a signal handler.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vprinter/printer_script.h"
#include "tools/vprinter/virtual_printer.h"

namespace vprinter {

class SimServer {
 public:
  explicit SimServer(VirtualPrinter& printer);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Binds PATH and PATH.ctl (mode 0600). A stale socket left by a dead
  // printer is replaced; a live one or any other file is not touched.
  bool Listen(const std::string& socketPath, std::string& error);

  // Loads a script: byte-count events go to the printer at once, timed
  // ones run from Run(). False with `error` naming the bad line.
  bool LoadScript(const std::string& text, std::string& error);

  // Serves until Stop(). Removes the sockets before it returns.
  void Run();
  void Stop();

  void SetLogSink(VirtualPrinter::LogSink sink);

 private:
  struct Session;

  void Log(const std::string& line);
  void AcceptClient();
  void AcceptControl();
  void DropClient(const char* why);
  void ReadClient();
  void ServeClient();
  bool Answer(const void* data, std::size_t size);

  VirtualPrinter& printer_;
  std::string path_;
  std::string ctlPath_;
  int listenFd_ = -1;
  int ctlFd_ = -1;
  int wakeFds_[2] = {-1, -1};  // Stop() writes, Run() polls
  Session* session_ = nullptr;
  std::vector<TimedCommand> timed_;
  VirtualPrinter::LogSink logSink_;
};

}  // namespace vprinter
