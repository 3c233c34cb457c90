// Serves a VirtualPrinter as a raw TCP printer (port 9100 style) on
// 127.0.0.1, for "socket://127.0.0.1:PORT" ports: what a client sends is
// offered to the printer, what the printer answers goes back. One client at
// a time; the next one is taken when it leaves. While the printer takes
// nothing (a fault, the rate limit) we stop reading, so the client's writes
// back up as they would at a real printer. Bytes read but not yet taken are
// kept and offered first, also across clients: the client was told they
// arrived.
//
// Control commands (printer_script.h) come on a second port, also on
// 127.0.0.1, as on the "sim:" printer's control socket: one line per
// connection, answered "ok" or "error: ..." before the printer hangs up.
// SendControlLine is the client side, for kelvane-printer's ctl.
//
// Run() and everything it calls run on one thread; Stop() may be called
// from any thread or a signal handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/vprinter/printer_script.h"
#include "platform/tcp_socket.h"
#include "tools/vprinter/virtual_printer.h"

namespace vprinter {

class TcpServer {
 public:
  explicit TcpServer(VirtualPrinter& printer);
  ~TcpServer();
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Listens on 127.0.0.1:`port` (0: any free port; port() tells which).
  bool Listen(std::uint16_t port, std::string& error);
  std::uint16_t port() const { return port_; }
  // Takes control lines on 127.0.0.1:`port` (0: any free port;
  // controlPort() tells which). Without it the printer takes none.
  bool ListenControl(std::uint16_t port, std::string& error);
  std::uint16_t controlPort() const { return controlPort_; }

  // Script events (printer_script.h); the timed ones run from Run(), timed
  // from Listen().
  bool LoadScript(const std::string& text, std::string& error);

  // Serves until Stop().
  void Run();
  void Stop() { stop_.store(true); }

  void SetLogSink(VirtualPrinter::LogSink sink) { logSink_ = std::move(sink); }

 private:
  void Log(const std::string& line);
  void DropClient(const char* why);
  // One round of moving bytes both ways; true when anything moved.
  bool Pump();
  // Takes a control connection, reads its line, carries it out, answers.
  void ServeControl();
  void EndControl(const std::string& answer);

  VirtualPrinter& printer_;
  std::atomic<bool> stop_{false};
  plat::tcp::Socket listener_ = plat::tcp::kNoSocket;
  plat::tcp::Socket client_ = plat::tcp::kNoSocket;
  std::uint16_t port_ = 0;
  plat::tcp::Socket controlListener_ = plat::tcp::kNoSocket;
  plat::tcp::Socket control_ = plat::tcp::kNoSocket;  // one control client at a time
  std::uint16_t controlPort_ = 0;
  std::string controlLine_;  // read so far from control_
  DWORD controlSince_ = 0;   // tick control_ was taken
  DWORD start_ = 0;  // tick of Listen()
  std::vector<BYTE> received_;  // read from a client, not yet taken
  std::vector<BYTE> replies_;   // taken from the printer, not yet sent
  std::vector<TimedCommand> timed_;
  VirtualPrinter::LogSink logSink_;
};

// Sends one control line to the printer's control port on
// 127.0.0.1:`port` and gives back its answer ("ok", "error: ..."). False
// with `error` set when no printer answered within `patienceMs`.
bool SendControlLine(std::uint16_t port, const std::string& line, DWORD patienceMs,
                     std::string& answer, std::string& error);

}  // namespace vprinter
