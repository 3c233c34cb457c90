// The "sim:PATH" port: a client of the kelvane-printer tool listening on the
// Unix socket PATH, usable wherever a printer port is.
//
// Wire protocol (both ends use the constants below). One connection per
// open port, strictly request and answer, numbers as 32-bit big-endian:
//   client: "KVP1"                       server: 'O' (yours) or 'B' (busy:
//                                         another port holds the printer;
//                                         the server then hangs up)
//   'W' waitMs len data[len]      ->  'w' taken
//        the printer takes what it can within waitMs; the rest is dropped
//        and sent again by the client, so the count is what the printer
//        really took (no socket buffer hides a stalled printer);
//   'R' waitMs max                ->  'r' n data[n]
//        reply bytes, answered as soon as any are queued or at waitMs;
//   'F'                           ->  'f' flags   (query and clear)
// Because every request is answered within its own wait, a flags query
// never waits behind data. Closing the connection frees the printer; so
// does the client's half-close (the end of the job's stream), which the
// printer answers by hanging up once it has read it.
//
// Any thread; one call at a time per device, except Close, which may come
// from another thread and ends a waiting call (shutdown(2) on the socket;
// the descriptor itself is only closed when the device is destroyed).
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "platform/port_device.h"
#include "platform/win_types.h"

namespace plat {

// Opens the printer served on `socketPath`. nullptr with `error` (an errno
// value) when it cannot: ENOENT / ECONNREFUSED nobody listens, EBUSY another
// port has it open, ETIMEDOUT no greeting, ENAMETOOLONG path too long.
std::shared_ptr<PortDevice> OpenSimPort(const std::string& socketPath,
                                        DWORD& error);

namespace simwire {
inline constexpr char kHello[4] = {'K', 'V', 'P', '1'};
inline constexpr char kAccepted = 'O';
inline constexpr char kBusy = 'B';
inline constexpr char kWrite = 'W';
inline constexpr char kWriteAnswer = 'w';
inline constexpr char kRead = 'R';
inline constexpr char kReadAnswer = 'r';
inline constexpr char kFlags = 'F';
inline constexpr char kFlagsAnswer = 'f';
// Largest data part of one request or answer.
inline constexpr DWORD kMaxChunk = 65536;
// Longest wait one request asks for; longer waits are several requests.
inline constexpr DWORD kMaxWaitMs = 100;

void PutU32(unsigned char* out, DWORD value);
DWORD GetU32(const unsigned char* in);
// Sends all of `data` on a non-blocking socket before the deadline: 0, or an
// errno (ETIMEDOUT when the peer stopped reading). Both ends use it.
int SendAll(int fd, const void* data, std::size_t size,
            std::chrono::steady_clock::time_point deadline);
}  // namespace simwire

}  // namespace plat
