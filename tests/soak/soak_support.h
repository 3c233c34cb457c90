// Shared pieces of the soak programs: how they start child processes (with
// kt::ChildProcess), recognisable job content, appending records to the
// queue file under the sharing protocol, reading the queue file back record
// by record, and taking the printer's output apart into print attempts.
// The soak programs are single-threaded; everything here runs on their one
// thread (children are forked before any thread exists).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace soak {

// ---------------------------------------------------------------- processes

// How the soak programs start the spooler and the printer: standard
// output and error appended to `logFile` (or to nowhere when it is empty),
// standard input a pipe we keep when `inputPipe` (the spooler's message
// boxes are answered there), else /dev/null.
kt::ChildOptions LogTo(const std::string& logFile, bool inputPipe = false);

// Milliseconds on the monotonic clock.
std::uint64_t NowMs();
void SleepMs(unsigned ms);

// A fresh temporary directory (mode 0700) made the KELVANE_HOME of this
// process and of every child started afterwards.
std::string MakeTempHome(const char* tag);
void RemoveTree(const std::string& path);

// ------------------------------------------------------------------ content

// The 6-byte prefix the spooler puts in front of each job's first file.
const std::string& JobPrefix();

// Header at the start of every file we spool: tells the job, the file and
// the size, so a byte stream can be taken apart without guessing.
inline constexpr std::size_t kHeaderSize = 40;
// `size` >= kHeaderSize. Deterministic in (job, file, size).
std::string FileContent(int job, int file, std::size_t size);
// Reads a header at `at`; false when none stands there.
bool ParseHeader(const std::string& bytes, std::size_t at, int& job, int& file,
                 std::size_t& size);

struct Job {
  int id = 0;
  int copies = 1;
  std::string name;                 // line 1
  std::string printer;              // line 4
  std::vector<std::size_t> sizes;   // per spool file
  std::vector<std::string> spoolPaths;
  std::string record;               // the exact record bytes we appended
};

// Writes the job's spool files into `spoolDir` and composes its record
// (new form, port "LPT1:", ribbon "Standard").
bool CreateJob(Job& job, const std::string& spoolDir, std::string& error);
// What one whole print of the job sends, when its first spool file carries
// `prefixes` copies of the job prefix.
std::string ExpectedPrint(const Job& job, int prefixes);

// ------------------------------------------------------------- queue file

// Appends one record the way the driver does: exclusive hold of the file
// (retried while the spooler holds it), the empty line that ends the
// previous record, then the record without an empty line behind it.
bool AppendRecord(const std::string& queueFile, const std::string& record,
                  std::string& error);

// Splits queue file bytes into records (each with its final CR LF), after
// the LF bytes that removals in place leave in front of them. False when
// the bytes are not a sequence of records separated by one empty line.
bool SplitRecords(const std::string& text, std::vector<std::string>& records,
                  std::string& error);

// The registry file parses, holds the settings key with "Port" and, when
// present, a "Config File" of "Processing" or "Purged"; `marker` gets that
// value ("" when absent).
bool CheckRegistryFile(std::string& marker, std::string& error);
// win.ini parses line by line and still maps LPT1: to `expectedPort`.
bool CheckProfileFile(const std::string& expectedPort, std::string& error);

// ------------------------------------------------------------ the output

struct Attempt {
  int job = 0;
  int prefixes = 0;
  bool whole = false;
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Takes the printer's output apart into print attempts: each is a whole
// print of a known job, or a print cut short exactly at one of the kill
// `boundaries` (output sizes right after a kill, ascending). False with
// `error` at the first byte that fits neither.
bool ParseOutput(const std::string& output, const std::vector<std::size_t>& boundaries,
                 const std::map<int, Job>& jobs, std::vector<Attempt>& attempts,
                 std::string& error);

}  // namespace soak
