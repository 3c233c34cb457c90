// The simulated printer's TCP server, reached through the spooler's own
// raw-TCP port (socket://127.0.0.1:PORT), as the Windows end-to-end run
// reaches it, and its control port.
// Test thread and one server thread per case.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/port_device.h"
#include "tests/support/test_support.h"
#include "tools/vprinter/tcp_server.h"
#include "tools/vprinter/virtual_printer.h"

namespace {

using vprinter::PrinterState;
using vprinter::TcpServer;
using vprinter::VirtualPrinter;

// A deadline for waits that must end, not a measure of speed.
constexpr DWORD kPatienceMs = 20000;

class TcpPrinter : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Listen(0, error)) << error;
    ASSERT_NE(server_.port(), 0);
    ASSERT_TRUE(server_.ListenControl(0, error)) << error;
    thread_ = std::thread([this] { server_.Run(); });
  }
  void TearDown() override {
    server_.Stop();
    if (thread_.joinable()) thread_.join();
  }

  HANDLE OpenPort() {
    HANDLE port = plat::OpenPort("socket://127.0.0.1:" + std::to_string(server_.port()));
    plat::COMMTIMEOUTS timeouts;
    timeouts.ReadTotalTimeoutConstant = 200;
    timeouts.WriteTotalTimeoutConstant = 2000;
    if (port != INVALID_HANDLE_VALUE) plat::SetCommTimeouts(port, &timeouts);
    return port;
  }

  // Writes all of `data`, going on after writes the printer cut short.
  bool WriteAll(HANDLE port, const std::string& data) {
    std::size_t done = 0;
    for (int tries = 0; done < data.size() && tries < 100; ++tries) {
      DWORD written = 0;
      plat::WriteFile(port, data.data() + done, static_cast<DWORD>(data.size() - done),
                      &written);
      done += written;
    }
    return done == data.size();
  }

  bool WaitForTotal(std::uint64_t total) {
    const DWORD start = plat::GetTickCount();
    for (;;) {
      const std::uint64_t seen = printer_.changeCount();
      if (printer_.totalAccepted() >= total) return true;
      if (plat::GetTickCount() - start >= kPatienceMs) return false;
      printer_.WaitForChange(seen, 100);
    }
  }

  static std::string Pattern(std::size_t size, int seed) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
      data[i] = static_cast<char>((i * 131 + static_cast<std::size_t>(seed)) % 251);
    return data;
  }

  // The control port's answer to `line` ("" when none came).
  std::string Control(const std::string& line) {
    std::string answer, error;
    if (!vprinter::SendControlLine(server_.controlPort(), line, kPatienceMs, answer, error))
      ADD_FAILURE() << line << ": " << error;
    return answer;
  }

  VirtualPrinter printer_;
  TcpServer server_{printer_};
  std::thread thread_;
};

TEST_F(TcpPrinter, TakesEveryByteInOrderAcrossClients) {
  const std::string first = Pattern(300000, 1);
  const std::string second = Pattern(70000, 2);
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteAll(port, first));
  ASSERT_TRUE(WaitForTotal(first.size()));
  plat::CloseHandle(port);
  // The printer takes the next job's connection once the first has left.
  port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteAll(port, second));
  ASSERT_TRUE(WaitForTotal(first.size() + second.size()));
  plat::CloseHandle(port);
  EXPECT_EQ(printer_.output(), first + second);
}

TEST_F(TcpPrinter, AnswersTheQueriesOnTheSameConnection) {
  printer_.SetFirstReplyLength(8);
  printer_.SetLevels({40, 71, 55, 23});
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  const auto& query = vprinter::frames::kFirstQuery;
  ASSERT_TRUE(WriteAll(port, std::string(query.begin(), query.end())));
  std::string reply;
  char buffer[64];
  const DWORD start = plat::GetTickCount();
  while (reply.size() < 8 && plat::GetTickCount() - start < kPatienceMs) {
    DWORD got = 0;
    ASSERT_TRUE(plat::ReadFile(port, buffer, sizeof buffer, &got));
    reply.append(buffer, got);
  }
  EXPECT_EQ(reply.size(), 8u);
  const auto& levelQuery = vprinter::frames::kLevelQuery;
  // The spooler pads the level query to seven bytes.
  std::string padded(levelQuery.begin(), levelQuery.end());
  padded += '\0';
  ASSERT_TRUE(WriteAll(port, padded));
  std::string levels;
  while (levels.size() < vprinter::kLevelReplyLength &&
         plat::GetTickCount() - start < kPatienceMs) {
    DWORD got = 0;
    ASSERT_TRUE(plat::ReadFile(port, buffer, sizeof buffer, &got));
    levels.append(buffer, got);
  }
  ASSERT_EQ(levels.size(), vprinter::kLevelReplyLength);
  EXPECT_EQ(static_cast<signed char>(levels[10]), 40);
  EXPECT_EQ(static_cast<signed char>(levels[22]), 23);
  plat::CloseHandle(port);
  EXPECT_EQ(printer_.frameNames(),
            (std::vector<std::string>{"first-query", "level-query"}));
}

TEST_F(TcpPrinter, AnOfflinePrinterTakesNothingAndLosesNothing) {
  printer_.SetState(PrinterState::NotSelected);
  const std::string data = Pattern(20000, 3);
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  plat::WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written);
  EXPECT_EQ(printer_.totalAccepted(), 0u);
  printer_.SetState(PrinterState::Ready);
  std::string rest = data.substr(written);
  ASSERT_TRUE(WriteAll(port, rest));
  ASSERT_TRUE(WaitForTotal(data.size()));
  plat::CloseHandle(port);
  EXPECT_EQ(printer_.output(), data);
}

TEST_F(TcpPrinter, DrainSaysDeliveredOnlyOnceThePrinterTookEveryByteAndHungUp) {
  printer_.SetState(PrinterState::NotSelected);
  const std::string data = Pattern(8000, 4);
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteAll(port, data));  // the buffers hold it
  plat::PortDelivery d;
  ASSERT_TRUE(plat::DrainPort(port, 0, &d));
  EXPECT_NE(d.state, plat::DeliveryState::Delivered);
  EXPECT_NE(d.state, plat::DeliveryState::Lost);
  EXPECT_EQ(printer_.totalAccepted(), 0u);

  printer_.SetState(PrinterState::Ready);
  const DWORD start = plat::GetTickCount();
  do {
    ASSERT_TRUE(plat::DrainPort(port, 100, &d));
  } while ((d.state == plat::DeliveryState::Sending ||
            d.state == plat::DeliveryState::Acknowledged) &&
           plat::GetTickCount() - start < kPatienceMs);
  EXPECT_EQ(d.state, plat::DeliveryState::Delivered);
  EXPECT_EQ(printer_.output(), data);
  plat::CloseHandle(port);
}

TEST_F(TcpPrinter, FaultsComeAndGoOnTheControlPortWhileAClientWrites) {
  HANDLE port = OpenPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_EQ(Control("paperout"), "ok\n");
  // Answered once carried out.
  EXPECT_EQ(printer_.state(), PrinterState::OutOfPaper);
  const std::string data = Pattern(20000, 5);
  ASSERT_TRUE(WriteAll(port, data));  // the buffers hold it
  EXPECT_EQ(printer_.totalAccepted(), 0u);
  EXPECT_EQ(Control("  status Paper loaded "), "ok\n");
  EXPECT_EQ(Control("ready"), "ok\n");
  ASSERT_TRUE(WaitForTotal(data.size()));
  std::string reply;
  char buffer[64];
  const DWORD start = plat::GetTickCount();
  while (reply.size() < 14 && plat::GetTickCount() - start < kPatienceMs) {
    DWORD got = 0;
    ASSERT_TRUE(plat::ReadFile(port, buffer, sizeof buffer, &got));
    reply.append(buffer, got);
  }
  plat::CloseHandle(port);
  EXPECT_EQ(printer_.output(), data);
  EXPECT_EQ(reply, std::string("SPaper loaded\0", 14));
  const std::string refused = Control("levitate");
  EXPECT_EQ(refused.rfind("error: ", 0), 0u) << refused;
  EXPECT_EQ(printer_.state(), PrinterState::Ready);
}

// Waits (in real time, bounded) until `printer` is in `state`.
bool WaitForState(VirtualPrinter& printer, PrinterState state) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
  while (printer.state() != state) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    printer.WaitForChange(printer.changeCount(), 20);
  }
  return true;
}

TEST(TcpPrinterScript, TimedEventsRunFromTheServerInTheirOrder) {
  VirtualPrinter printer;
  TcpServer server(printer);
  std::string error;
  EXPECT_FALSE(server.LoadScript("after-ms 10 explode\n", error));
  EXPECT_NE(error.find("line 1"), std::string::npos) << error;
  plat::ScopedFakeClock clock(1000, 0);
  ASSERT_TRUE(server.LoadScript("# comment\nafter-ms 900 ready\nafter-ms 500 paperout\n", error))
      << error;
  ASSERT_TRUE(server.Listen(0, error)) << error;
  std::thread run([&] { server.Run(); });
  clock.clock().Advance(500);
  const bool paperOut = WaitForState(printer, PrinterState::OutOfPaper);
  clock.clock().Advance(400);
  const bool readyAgain = WaitForState(printer, PrinterState::Ready);
  server.Stop();
  run.join();
  EXPECT_TRUE(paperOut);
  EXPECT_TRUE(readyAgain);
}

}  // namespace
