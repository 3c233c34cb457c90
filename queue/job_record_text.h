// The text of one queue record as a writer appends it: CR LF lines, the
// job name, port, copies, [printer name, ribbon type,] then the spool
// files; no trailing empty line (queue_file.h reads it back). A field that
// would not read back as written is refused with a code that names it, and
// nothing is formatted. The words for a refusal, for the programs that
// write records and tell their user (the driver, the CUPS backend), are
// DescribeRecordRefusal's.
// Any thread; pure text.
#pragma once

#include <string>
#include <vector>

struct RecordFields {
  std::string name;  // cut to a line's 77 characters (a label only)
  std::string port;
  int copies = 1;
  std::string printer;
  std::string ribbon;
  bool oldForm = false;  // no printer and ribbon lines
};

enum class RecordFault {
  None,
  NoSpoolFile,          // a record names at least one
  TooManySpoolFiles,    // more than kMaxSpoolFiles
  CopiesOutOfRange,     // 0 to 255
  EmptyField,           // `field`
  LineBreakInField,     // `field`
  FieldTooLong,         // `field` is longer than a line
  OldFormWithoutTilde,  // an old form is told by a "~" in its first spool file
  PrinterNameTooLong,   // the field holds 49 characters
  TildeInPrinterName,   // would read back as an old form
  RibbonTypeTooLong,    // the field holds 49 characters
};

enum class RecordField { None, JobName, Port, PrinterName, RibbonType, SpoolFilePath };

struct RecordRefusal {
  RecordFault fault = RecordFault::None;
  RecordField field = RecordField::None;
  std::string value;  // the field's text, for FieldTooLong
  bool ok() const { return fault == RecordFault::None; }
};

// The longest line a record may hold (the reader's buffer less its zero).
std::size_t MaxRecordLineChars();

// Formats the record of `fields` naming `spoolFiles` into `record`; on a
// refusal `record` is left as it was.
RecordRefusal FormatRecordText(const RecordFields& fields,
                               const std::vector<std::string>& spoolFiles, std::string& record);

// Why a record was refused, in words for the user of a program that writes
// records.
std::string DescribeRecordRefusal(const RecordRefusal& refusal);
