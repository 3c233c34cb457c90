// The command channel: how another process reaches the running spooler's
// main window, published as "SpoolerHwnd".
//
// On POSIX the handle names a local Unix socket run/spooler-<hwnd>.sock
// (mode 0600 in a 0700 directory); a request is one fixed-size frame,
// answered with one fixed-size frame that carries the handler's result. The
// listener thread only reads and checks requests, from every connected
// client at once (each bounded by its own time-out, so idle clients hold up
// nobody). Only the same user may connect; a malformed request (wrong size,
// wrong magic, unknown message) is dropped and its connection closed; every
// read is bounded by a time-out.
// On Windows the handle is the spooler window (platform/spooler_window.h)
// and a request is a window message sent to it with SendMessageTimeoutA;
// the window's thread plays the listener's part.
//
// Either way the handler runs on the thread that runs the front end: the
// listener queues the request, calls the front end's wake-up, and answers
// once that thread has called ServePending().
// CommandServer: Start/Stop/ServePending on the main thread, the listener is
// internal. SendSpoolerMessage: any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/win_types.h"

namespace plat {

// The second start's request to bring the main window to the front (the
// answer is 1). Outside the range of real window messages we carry.
inline constexpr UINT kBringToFrontRequest = 0x7F01;

// The driver's question after it appended a record: "will you print queue
// file X?", X given as QueueFileKey(X) in wParam. The answers below; a
// spooler that does not know the request drops it (no answer at all).
inline constexpr UINT kWillPrintQueueRequest = 0x7F02;
inline constexpr LRESULT kWillPrintYes = 1;
inline constexpr LRESULT kWillPrintClosing = 2;     // its close has begun
inline constexpr LRESULT kWillPrintOtherQueue = 3;  // it serves another queue file
inline constexpr LRESULT kWillPrintNoQueue = 4;     // it runs without a queue file

// The driver's "what are you printing?". A status does not fit one answer,
// so it is asked for in parts (wParam): part 0 takes a copy of the status
// and answers its ticket; parts 1 to kStatusPartCount-1 answer pieces of
// that copy; kStatusTicketPart answers the ticket of the copy being served,
// so a reader that finds it changed (another reader asked meanwhile) asks
// again. See app/shell/spooler_status.h for the pieces.
inline constexpr UINT kStatusRequest = 0x7F03;
inline constexpr WPARAM kStatusTicketPart = 0xFF;

// A 64-bit key of a queue file's canonical path (links and "." resolved;
// for a file that does not exist yet, its directory's canonical path and
// its name), so the driver and the spooler compare the same file however
// each of them spelled it. The queue file is replaced whole by every
// rewrite, so its inode is no name for it.
std::uint64_t QueueFileKey(const std::string& path);

inline constexpr std::uint32_t kCommandMagic = 0x4B4C564Eu;  // "KLVN"
inline constexpr std::uint32_t kAnswerMagic = 0x4B4C5641u;   // "KLVA"

// Wire frames, little-endian as the host writes them (same machine only).
struct CommandRequest {
  std::uint32_t magic;
  std::uint32_t message;
  std::uint64_t wParam;
  std::int64_t lParam;
};
struct CommandAnswer {
  std::uint32_t magic;
  std::uint32_t handled;  // 1 when the handler ran
  std::int64_t result;
};
static_assert(sizeof(CommandRequest) == 24);
static_assert(sizeof(CommandAnswer) == 16);

// Whether a request may go to the handler: magic and a message we carry.
bool IsAcceptableRequest(const CommandRequest& request);

// run/spooler-<hwnd>.sock; "" when the run directory is not available, and
// on Windows, where there is no socket.
std::string SpoolerSocketPath(HWND window);

// Sends one request to the spooler whose main window is `window` and waits
// for its answer up to `timeoutMs` in all (connect, send, answer). False
// when no spooler answers in time.
bool SendSpoolerMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                        LRESULT* result, DWORD timeoutMs);

class CommandServer {
 public:
  using Handler = std::function<LRESULT(UINT message, WPARAM, LPARAM)>;
  // Called on the listener thread when a request waits for ServePending().
  using Wake = std::function<void()>;

  CommandServer();
  ~CommandServer();  // stops
  CommandServer(const CommandServer&) = delete;
  CommandServer& operator=(const CommandServer&) = delete;

  // Binds the socket of `window` (replacing a stale one) and starts the
  // listener; on Windows, opens the spooler window `window` to requests.
  // False when the socket cannot be made, or `window` is not this process's
  // spooler window.
  bool Start(HWND window, Handler handler, Wake wake);
  // Stops the listener, answers nothing more, removes the socket (the
  // spooler window answers 0 from now on).
  void Stop();
  // Main thread: runs every queued request through the handler and hands
  // each answer back. Returns how many ran.
  int ServePending();
  const std::string& socketPath() const { return path_; }
  // Requests dropped as malformed or from another user (tests, diagnostics).
  int droppedCount() const;

  // How long a connection may take to deliver its request.
  static constexpr int kReadTimeoutMs = 2000;
  // How long the listener waits for the main thread to answer.
  static constexpr int kAnswerWaitMs = 30000;
  // Connections served at once; more wait in the listen backlog.
  static constexpr std::size_t kMaxConnections = 64;

 private:
  struct Pending {
    CommandRequest request{};
    LRESULT result = 0;
    bool taken = false;
    bool done = false;
  };
  struct Connection;
  void Listen();
  // Tells the side that waits for an answer that one is ready.
  void SignalAnswered();

  std::string path_;
  // The system's listening endpoint and the listener's wake-up; set by
  // Start, closed by Stop, kept for the server's whole life.
  struct SystemState;
  std::unique_ptr<SystemState> system_;
  Handler handler_;
  Wake wake_;
  std::thread listener_;
  mutable std::mutex mutex_;  // protects queue_, stopping_, dropped_ and the Pending entries
  std::deque<std::shared_ptr<Pending>> queue_;
  bool stopping_ = false;
  int dropped_ = 0;
};

}  // namespace plat
