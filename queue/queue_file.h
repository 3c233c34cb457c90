// The queue file shared with the driver, and the operations on it. The
// driver only appends records; we only remove from the head. Every open of
// the file by the spooler is exclusive (no sharing) and retried for up to
// 1500 ms; the size probe alone shares read and write.
//
// Record format (CR LF lines; records separated by one empty line):
//   job name / port / copies / [printer name / ribbon type] / spool files...
// A record is in the old form (no printer and ribbon lines) when line 4
// contains '~'.
// Any thread; the operations take g_csSpooler where they touch shared state
// and may be called with it held.
#pragma once

#include <cstddef>
#include <cstdint>

#include "queue/job_record.h"

inline constexpr std::uint32_t kQueueOpenRetryMs = 1500;
inline constexpr std::size_t kMaxQueueFileSize = 65535;
inline constexpr std::size_t kLineBufferSize = 78;  // 77 characters and the zero

// Size of the file in bytes, or -1 when it cannot be opened (sharing read
// and write) within 1500 ms.
std::int32_t QueryFileSize(const char* path);

bool TakeNextJob(JobRecord& job);
void FinishJob(JobRecord& job);
void EndJobCleanup();
void PurgeQueue(JobRecord& job);
std::uint16_t CountQueuedJobs();
bool RecoverQueueFile();

// The record parser, exposed for tests and the fuzzer.
// ReadRecordLine results:
inline constexpr int kLineEndOfData = 0;
inline constexpr int kLineRead = 1;
inline constexpr int kLineEmpty = 2;
int ReadRecordLine(const unsigned char* image, char (&line)[kLineBufferSize],
                   std::uint16_t& position, std::uint16_t remaining);
bool ParseJobRecord(const unsigned char* image, std::size_t size, JobRecord& record);
