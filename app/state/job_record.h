// The job record: one job of the queue file, or the hand-opened file of
// manual mode. Always created empty (every string empty, every number 0).
// Plain data; whoever holds one guards it (g_curJob is under g_csSpooler).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kMaxSpoolFiles = 20;
inline constexpr int kSpoolPathSize = 100;   // 99 characters and the zero
inline constexpr int kQueuePathSize = 100;
inline constexpr int kJobNameSize = 100;
inline constexpr int kPortNameSize = 100;
inline constexpr int kPrinterNameSize = 50;
inline constexpr int kRibbonTypeSize = 50;

struct JobRecord {
  char spoolFiles[kMaxSpoolFiles][kSpoolPathSize] = {};
  char queueFile[kQueuePathSize] = {};
  char jobName[kJobNameSize] = {};
  char portName[kPortNameSize] = {};
  char printerName[kPrinterNameSize] = {};
  char ribbonType[kRibbonTypeSize] = {};
  std::uint32_t txTimeout = 0;   // ms; 0 disables
  std::uint32_t dnsTimeout = 0;  // ms; 0 disables
  // Copies requested. A queue record's copies line is read as one byte
  // (0..255, "300" reads as 44); a hand-opened file may ask for up to 9999,
  // so the field is wide enough to carry that count to the print thread.
  std::uint16_t copies = 0;
  std::uint8_t fileCount = 0;
  std::int32_t totalSize = 0;
};

// Copies a C string into a fixed field, cutting it to fit; always
// zero-terminated.
template <std::size_t N>
inline void CopyField(char (&field)[N], const char* text) {
  std::size_t i = 0;
  for (; text && text[i] && i + 1 < N; ++i) field[i] = text[i];
  field[i] = '\0';
}
