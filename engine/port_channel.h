// Port channel: the thin layer between the print engine and the printer
// port: open with the port settings, write one block watching the error
// flags and the two time-outs, read a reply with a time-out, redirect a
// network share to a free LPT device, wait, and wait for the printer to
// take the whole job.
// Runs on the calling thread (print thread; OpenPrinterPort and
// ReadPortWithTimeout also on the main thread).
#pragma once

#include <cstdint>

#include "app/state/job_record.h"
#include "platform/win_types.h"

// Write outcome codes (the platform's error numbers, and two of our own).
inline constexpr std::int32_t ERROR_NOT_READY = 21;
inline constexpr std::int32_t ERROR_OUT_OF_PAPER = 28;
inline constexpr std::int32_t ERROR_IO_DEVICE = 1117;
inline constexpr std::int32_t ERROR_COUNTER_TIMEOUT = 1121;
inline constexpr std::int32_t WRITE_STALLED = 7777;
inline constexpr std::int32_t WRITE_ABORTED = 9999;

inline constexpr DWORD kPortEventMask = EV_TXEMPTY | EV_ERR | EV_PERR;  // 0x284
inline constexpr DWORD kReadTotalTimeoutMs = 50;
inline constexpr DWORD kWriteTotalTimeoutMs = 110;
inline constexpr DWORD kCantellaStallMs = 750;
// A printer that has acknowledged every byte of a job but keeps its side of
// the connection open has the job: after this long it is taken as done
// (seconds, not the transmission time-out; many printers close only when
// the card is out, some never).
inline constexpr DWORD kAcknowledgedGraceMs = 2000;

// Event mask and communication time-outs on a freshly opened port; the
// multipliers are left as the port had them.
void ApplyPortSettings(HANDLE port);

// Opens g_szPortName (read under the lock) and applies the port settings;
// false, with `port` INVALID_HANDLE_VALUE, when it cannot be opened.
bool OpenPrinterPort(HANDLE& port);

// Writes one block, watching the port's error flags and the job's
// time-outs (dnsTimeout while not selected, txTimeout while nothing moves,
// 750 ms for a stalling model; 0 switches a time-out off).
//   in:  `block` points at the bytes still to send, `blockCount` counts them.
//   out: true when all of them went out (`lastCount` is the last call's
//        count; the caller adds it to g_nBytesSent).
//        false with `code` set when the write ends early: 21 not selected,
//        28 out of paper at block start, 1117 device error, 1121 not
//        accepting, WRITE_STALLED, WRITE_ABORTED (a stop request). Then
//        `block` has moved past and `blockCount` is down by what was sent,
//        so writing again sends only the rest; partial writes are already
//        added to g_nBytesSent. `code` means nothing after true.
// While it retries it publishes what it waits for (g_nPrinterWait); a call
// that ends not selected, out of paper or not accepting leaves that wait
// said for the question that follows. Print thread only.
bool WritePortBlock(HANDLE port, const BYTE*& block, DWORD& blockCount,
                    DWORD& lastCount, const JobRecord& job, std::int32_t& code);
// After the job's last block: waits until the printer has taken every byte
// (plat::DrainPort), while a stop request or the job's txTimeout may end
// the wait first. The time-out counts from the last time the printer took
// something, where the port can tell, else from the start of the wait.
//   true:  the printer has the whole job (it closed its side, or it has
//          acknowledged every byte and kept its side open for
//          kAcknowledgedGraceMs, or a stop came after it had them all);
//   false: `code` ERROR_IO_DEVICE the printer dropped the connection first,
//          ERROR_COUNTER_TIMEOUT it took nothing for txTimeout,
//          WRITE_ABORTED a stop request came before it had them all.
// Publishes the bytes still unconfirmed (g_nBytesUnconfirmed) and, while
// the printer takes nothing, the wait (as WritePortBlock does). Print
// thread only; may be called again after a false.
bool WaitForPortDelivery(HANDLE port, const JobRecord& job, std::int32_t& code);
// Whether the stream written to `port` can go on: false once the printer
// dropped a connection that carried part of it (a new connection would be
// a new job to the printer).
bool IsPortStreamLost(HANDLE port);
// Publishes what the printer has not confirmed of what was written to
// `port` (g_nBytesUnconfirmed), for the progress the pages show.
void PublishUnconfirmedBytes(HANDLE port);
bool HasElapsed(DWORD& clock, DWORD limitMs);
void DelayMs(DWORD ms);
bool ReadPortWithTimeout(HANDLE port, void* buffer, DWORD bufferSize,
                         DWORD& count, std::uint16_t timeoutMs);
int CaptureNetworkPort(const char* remoteName);
