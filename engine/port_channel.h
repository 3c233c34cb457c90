// Port channel: the thin layer between the print engine and the printer
// port: open with the port settings, write one block watching the error
// flags and the two time-outs, read a reply with a time-out, redirect a
// network share to a free LPT device, wait, and put bytes in front of a
// spool file.
// Runs on the calling thread (print thread; OpenPrinterPort and
// ReadPortWithTimeout also on the main thread).
#pragma once

#include <cstdint>

#include "platform/win_types.h"
#include "queue/job_record.h"

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
bool HasElapsed(DWORD& clock, DWORD limitMs);
void DelayMs(DWORD ms);
bool ReadPortWithTimeout(HANDLE port, void* buffer, DWORD bufferSize,
                         DWORD& count, std::uint16_t timeoutMs);
int CaptureNetworkPort(const char* remoteName);
bool PrependToFile(const char* path, const void* bytes, DWORD count);
