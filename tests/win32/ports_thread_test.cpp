// Closing a port from another thread while a write waits for the printer:
// the write ends with what had moved, whatever its time-out. A TCP printer
// of the test's own that never reads keeps the write waiting.
// The test thread and one writer thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/port_device.h"
#include "platform/win32/windows_api.h"

namespace {

TEST(WindowsPortCloseTest, CloseEndsAWriteThatWaitsForAPrinterThatDoesNotRead) {
  WSADATA data;
  ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(listener, INVALID_SOCKET);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int length = sizeof address;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ASSERT_EQ(::listen(listener, 1), 0);

  HANDLE port = plat::OpenPort("socket://127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  SOCKET printer = ::accept(listener, nullptr, nullptr);
  ASSERT_NE(printer, INVALID_SOCKET);
  // A write time-out far longer than any test run: only Close can end it.
  plat::COMMTIMEOUTS timeouts;
  timeouts.WriteTotalTimeoutConstant = 0xFFFFFFF0u;
  ASSERT_TRUE(plat::SetCommTimeouts(port, &timeouts));

  const std::vector<char> block(64u << 20, 'x');
  std::atomic<bool> writing{false};
  bool wrote = true;
  DWORD written = 0;
  std::thread writer([&] {
    writing = true;
    wrote = plat::WriteFile(port, block.data(), static_cast<DWORD>(block.size()), &written);
  });
  while (!writing) std::this_thread::yield();
  ::Sleep(50);  // most likely inside the wait by now; either way it must end
  ASSERT_TRUE(plat::CloseHandle(port));
  writer.join();
  EXPECT_FALSE(wrote);
  EXPECT_LT(written, block.size());

  ::closesocket(printer);
  ::closesocket(listener);
  ::WSACleanup();
}

}  // namespace
