// Serves a VirtualPrinter as a raw TCP printer (port 9100 style) on
// 127.0.0.1, for "socket://127.0.0.1:PORT" ports: what a client sends is
// offered to the printer, what the printer answers goes back. One client at
// a time; the next one is taken when it leaves. While the printer takes
// nothing (a fault, the rate limit) we stop reading, so the client's writes
// back up as they would at a real printer. Bytes read but not yet taken are
// kept and offered first, also across clients: the client was told they
// arrived.
//
// Run() and everything it calls run on one thread; Stop() may be called
// from any thread or a signal handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/vprinter/printer_script.h"
#include "tools/vprinter/tcp_socket.h"
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

  VirtualPrinter& printer_;
  std::atomic<bool> stop_{false};
  tcp::Socket listener_ = tcp::kNoSocket;
  tcp::Socket client_ = tcp::kNoSocket;
  std::uint16_t port_ = 0;
  DWORD start_ = 0;  // tick of Listen()
  std::vector<BYTE> received_;  // read from a client, not yet taken
  std::vector<BYTE> replies_;   // taken from the printer, not yet sent
  std::vector<TimedCommand> timed_;
  VirtualPrinter::LogSink logSink_;
};

}  // namespace vprinter
