// Fuzz target for the queue record reader: any bytes the driver (or a
// damaged disk) may leave in the queue file must parse without reading or
// writing past the image or a field, and what the parser and the record
// remover call the head record must agree.
// Single-threaded (libFuzzer's driver thread).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "queue/queue_file.h"

namespace {

template <std::size_t N>
void CheckTerminated(const char (&field)[N]) {
  if (std::memchr(field, '\0', N) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  JobRecord record;
  RecordParseNotes notes;
  ParseJobRecord(data, size, record, &notes);

  if (record.fileCount > kMaxSpoolFiles) std::abort();
  for (const auto& path : record.spoolFiles) CheckTerminated(path);
  CheckTerminated(record.jobName);
  CheckTerminated(record.portName);
  CheckTerminated(record.printerName);
  CheckTerminated(record.ribbonType);
  CheckTerminated(record.queueFile);
  if (record.queueFile[0] != '\0') std::abort();  // the parser never touches it
  if (notes.imageCut != (size > kMaxQueueFileSize)) std::abort();

  const std::size_t start = FindHeadRecordStart(data, size);
  const std::size_t end = FindHeadRecordEnd(data, size);
  if (end > size || start > end) std::abort();
  // The head record starts with a line that is not empty.
  if (start < size && data[start] == '\n') std::abort();

  // Walk every line the way the callers do: positions stay inside the
  // image and always move forward.
  const auto total = static_cast<std::uint16_t>(size > kMaxQueueFileSize ? kMaxQueueFileSize : size);
  std::uint16_t position = 0;
  char line[kLineBufferSize];
  for (;;) {
    const std::uint16_t before = position;
    const int result = ReadRecordLine(data, line, position, static_cast<std::uint16_t>(total - position));
    if (position > total) std::abort();
    if (std::memchr(line, '\0', sizeof line) == nullptr) std::abort();
    if (result == kLineEndOfData) break;
    if (position <= before) std::abort();
  }
  return 0;
}
