// The queue record's text as a writer formats it (job_record_text.h).
// Any thread.
#include "queue/job_record_text.h"

#include "app/state/job_record.h"
#include "queue/queue_file.h"

namespace {

// The spooler reads lines into a 78-byte buffer: 77 characters at most.
constexpr std::size_t kMaxLineChars = kLineBufferSize - 1;

RecordRefusal Refuse(RecordFault fault, RecordField field = RecordField::None,
                     std::string value = "") {
  return RecordRefusal{fault, field, std::move(value)};
}

RecordRefusal CheckLine(RecordField field, const std::string& text) {
  if (text.empty()) return Refuse(RecordFault::EmptyField, field);
  if (text.find('\r') != std::string::npos || text.find('\n') != std::string::npos)
    return Refuse(RecordFault::LineBreakInField, field);
  if (text.size() > kMaxLineChars) return Refuse(RecordFault::FieldTooLong, field, text);
  return {};
}

const char* NameOf(RecordField field) {
  switch (field) {
    case RecordField::JobName: return "the job name";
    case RecordField::Port: return "the port";
    case RecordField::PrinterName: return "the printer name";
    case RecordField::RibbonType: return "the ribbon type";
    case RecordField::SpoolFilePath: return "the spool file path";
    case RecordField::None: break;
  }
  return "a field";
}

}  // namespace

std::size_t MaxRecordLineChars() { return kMaxLineChars; }

RecordRefusal FormatRecordText(const RecordFields& fields,
                               const std::vector<std::string>& spoolFiles, std::string& record) {
  if (spoolFiles.empty()) return Refuse(RecordFault::NoSpoolFile);
  if (spoolFiles.size() > static_cast<std::size_t>(kMaxSpoolFiles))
    return Refuse(RecordFault::TooManySpoolFiles);
  if (fields.copies < 0 || fields.copies > 255) return Refuse(RecordFault::CopiesOutOfRange);
  std::string name = fields.name;
  if (name.size() > kMaxLineChars) name.resize(kMaxLineChars);  // a label only
  RecordRefusal check = CheckLine(RecordField::JobName, name);
  if (!check.ok()) return check;
  if (!(check = CheckLine(RecordField::Port, fields.port)).ok()) return check;
  std::vector<std::string> lines = {name, fields.port, std::to_string(fields.copies)};
  if (fields.oldForm) {
    // The form is told by line 4: the first spool file must carry a "~".
    if (spoolFiles[0].find('~') == std::string::npos)
      return Refuse(RecordFault::OldFormWithoutTilde);
  } else {
    if (!(check = CheckLine(RecordField::PrinterName, fields.printer)).ok()) return check;
    if (fields.printer.size() >= static_cast<std::size_t>(kPrinterNameSize))
      return Refuse(RecordFault::PrinterNameTooLong);
    if (fields.printer.find('~') != std::string::npos)
      return Refuse(RecordFault::TildeInPrinterName);
    if (!(check = CheckLine(RecordField::RibbonType, fields.ribbon)).ok()) return check;
    if (fields.ribbon.size() >= static_cast<std::size_t>(kRibbonTypeSize))
      return Refuse(RecordFault::RibbonTypeTooLong);
    lines.push_back(fields.printer);
    lines.push_back(fields.ribbon);
  }
  for (const std::string& spool : spoolFiles) {
    if (!(check = CheckLine(RecordField::SpoolFilePath, spool)).ok()) return check;
    lines.push_back(spool);
  }
  record.clear();
  for (const std::string& line : lines) record += line + "\r\n";
  return {};
}

std::string DescribeRecordRefusal(const RecordRefusal& refusal) {
  const std::string what = NameOf(refusal.field);
  switch (refusal.fault) {
    case RecordFault::None: return "";
    case RecordFault::NoSpoolFile: return "a job needs at least one file";
    case RecordFault::TooManySpoolFiles:
      return "a job has at most " + std::to_string(kMaxSpoolFiles) + " files";
    case RecordFault::CopiesOutOfRange: return "copies must be 0 to 255";
    case RecordFault::EmptyField: return what + " must not be empty";
    case RecordFault::LineBreakInField: return what + " must not contain a line break";
    case RecordFault::FieldTooLong:
      return what + " is longer than " + std::to_string(kMaxLineChars) +
             " characters: " + refusal.value;
    case RecordFault::OldFormWithoutTilde:
      return "an old-form record's first spool file must contain '~'";
    case RecordFault::PrinterNameTooLong: return "the printer name has at most 49 characters";
    case RecordFault::TildeInPrinterName: return "the printer name must not contain '~'";
    case RecordFault::RibbonTypeTooLong: return "the ribbon type has at most 49 characters";
  }
  return "the record cannot be written";
}
