// Shared pieces of the soak programs (see soak_support.h).
// One thread: the soak program's.
#include "tests/soak/soak_support.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <thread>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "queue/queue_file.h"
#include "queue/settings_store.h"

namespace soak {

// ---------------------------------------------------------------- processes

kt::ChildOptions LogTo(const std::string& logFile, bool inputPipe) {
  kt::ChildOptions options;
  options.input = inputPipe ? kt::ChildInput::Pipe : kt::ChildInput::Null;
  if (!logFile.empty()) {
    options.output = kt::ChildOutput::AppendToFile;
    options.outputFile = logFile;
  }
  options.errors = kt::ChildErrors::WithOutput;
  return options;
}

std::uint64_t NowMs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string MakeTempHome(const char* tag) {
  std::string pattern = std::string("/tmp/kelvane-") + tag + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!::mkdtemp(name.data())) return "";
  ::setenv("KELVANE_HOME", name.data(), 1);
  return name.data();
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

// ------------------------------------------------------------------ content

const std::string& JobPrefix() {
  static const std::string prefix("\x1B\x00\x04\x45\x00\x00", 6);
  return prefix;
}

std::string FileContent(int job, int file, std::size_t size) {
  char header[kHeaderSize + 1];
  std::snprintf(header, sizeof header, "KSOAK job=%07d file=%02d size=%08zu\n", job, file,
                size);
  std::string s(header, kHeaderSize);
  s.resize(size < kHeaderSize ? kHeaderSize : size);
  std::uint32_t x = static_cast<std::uint32_t>(job) * 2654435761u +
                    static_cast<std::uint32_t>(file) * 40503u + 17u;
  for (std::size_t i = kHeaderSize; i < s.size(); ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

bool ParseHeader(const std::string& bytes, std::size_t at, int& job, int& file,
                 std::size_t& size) {
  if (bytes.size() < at + kHeaderSize) return false;
  const std::string header = bytes.substr(at, kHeaderSize);
  unsigned long long s = 0;
  int consumed = 0;
  if (std::sscanf(header.c_str(), "KSOAK job=%7d file=%2d size=%8llu\n%n", &job, &file, &s,
                  &consumed) != 3 ||
      header.compare(0, 10, "KSOAK job=") != 0 || header.back() != '\n') {
    return false;
  }
  size = static_cast<std::size_t>(s);
  return true;
}

bool CreateJob(Job& job, const std::string& spoolDir, std::string& error) {
  job.spoolPaths.clear();
  std::string record = job.name + "\r\nLPT1:\r\n" + std::to_string(job.copies) + "\r\n" +
                       job.printer + "\r\nStandard\r\n";
  for (std::size_t f = 0; f < job.sizes.size(); ++f) {
    char name[64];
    std::snprintf(name, sizeof name, "/j%07d-%02zu.spl", job.id, f);
    const std::string path = spoolDir + name;
    if (path.size() > kLineBufferSize - 1) {
      error = "spool path too long for a record: " + path;
      return false;
    }
    if (!plat::WriteFileAtomically(path, FileContent(job.id, static_cast<int>(f),
                                                     job.sizes[f]))) {
      error = "cannot write " + path;
      return false;
    }
    job.spoolPaths.push_back(path);
    record += path + "\r\n";
  }
  job.record = record;
  return true;
}

std::string ExpectedPrint(const Job& job, int prefixes) {
  std::string one;
  for (int i = 0; i < prefixes; ++i) one += JobPrefix();
  for (std::size_t f = 0; f < job.sizes.size(); ++f)
    one += FileContent(job.id, static_cast<int>(f), job.sizes[f]);
  std::string all;
  for (int c = 0; c < job.copies; ++c) all += one;
  return all;
}

// ------------------------------------------------------------- queue file

bool AppendRecord(const std::string& queueFile, const std::string& record,
                  std::string& error) {
  const std::uint64_t start = NowMs();
  HANDLE h = INVALID_HANDLE_VALUE;
  for (;;) {
    h = plat::OpenFile(queueFile, plat::Access::ReadWrite, plat::ShareMode::None,
                       plat::Disposition::OpenAlways);
    if (h != INVALID_HANDLE_VALUE) break;
    if (plat::GetLastError() != plat::ERROR_SHARING_VIOLATION_CODE || NowMs() - start > 10000) {
      error = "cannot open the queue file: " + std::string(std::strerror(
                                                  static_cast<int>(plat::GetLastError())));
      return false;
    }
    SleepMs(1);
  }
  std::string existing;
  char buffer[8192];
  DWORD got = 0;
  bool ok = true;
  while ((ok = plat::ReadFile(h, buffer, sizeof buffer, &got)) && got > 0)
    existing.append(buffer, got);
  std::string tail;
  // Nothing but the empty lines of records removed in place is no record:
  // the new one goes right behind them, as the driver does it.
  if (FindHeadRecordStart(reinterpret_cast<const unsigned char*>(existing.data()),
                          existing.size()) != existing.size()) {
    const std::size_t n = existing.size();
    if (n >= 4 && existing.compare(n - 4, 4, "\r\n\r\n") == 0) {
    } else if (n >= 2 && existing.compare(n - 2, 2, "\r\n") == 0) {
      tail = "\r\n";
    } else {
      tail = "\r\n\r\n";
    }
  }
  tail += record;
  if (ok && existing.size() + tail.size() > kMaxQueueFileSize) {
    plat::CloseHandle(h);
    error = "full";
    return false;
  }
  DWORD written = 0;
  ok = ok && plat::WriteFile(h, tail.data(), static_cast<DWORD>(tail.size()), &written) &&
       written == tail.size();
  plat::CloseHandle(h);
  if (!ok) error = "cannot append to the queue file";
  return ok;
}

bool SplitRecords(const std::string& text, std::vector<std::string>& records,
                  std::string& error) {
  records.clear();
  // The LF bytes a removal in place leaves where the records it took were;
  // the spooler writes nothing else there.
  std::size_t at = text.find_first_not_of('\n');
  if (at == std::string::npos) at = text.size();
  while (at < text.size()) {
    std::size_t end = text.find("\r\n\r\n", at);
    std::string record;
    if (end == std::string::npos) {
      record = text.substr(at);
      at = text.size();
    } else {
      record = text.substr(at, end + 2 - at);
      at = end + 4;
      if (at == text.size()) {
        error = "an empty line after the last record";
        return false;
      }
    }
    if (record.size() < 2 || record.compare(record.size() - 2, 2, "\r\n") != 0) {
      error = "a record without its final CR LF at byte " + std::to_string(at);
      return false;
    }
    // Every line of a record ends in CR LF; no bare LF or CR inside.
    for (std::size_t i = 0; i < record.size(); ++i) {
      if (record[i] == '\n' && (i == 0 || record[i - 1] != '\r')) {
        error = "a bare LF in a record";
        return false;
      }
      if (record[i] == '\r' && (i + 1 >= record.size() || record[i + 1] != '\n')) {
        error = "a bare CR in a record";
        return false;
      }
    }
    records.push_back(record);
  }
  return true;
}

bool CheckRegistryFile(std::string& marker, std::string& error) {
  marker.clear();
  std::string text;
  if (!plat::ReadWholeFile(plat::RegistryPath(), text)) {
    error = "the registry file cannot be read";
    return false;
  }
  const std::vector<plat::RegFileLine> lines = plat::ParseRegFile(text);
  if (lines.empty() || lines[0].kind != plat::RegFileLine::Kind::Header) {
    error = "the registry file lost its REGEDIT4 header";
    return false;
  }
  bool inKey = false;
  bool sawKey = false;
  bool sawPort = false;
  for (const plat::RegFileLine& line : lines) {
    switch (line.kind) {
      case plat::RegFileLine::Kind::Other:
        error = "an unreadable registry line: " + line.text;
        return false;
      case plat::RegFileLine::Kind::Key:
        inKey = line.key == SettingsKeyPath();
        sawKey = sawKey || inKey;
        break;
      case plat::RegFileLine::Kind::Value:
        if (!inKey) break;
        if (line.name == "Port") sawPort = true;
        if (line.name == "Config File") {
          if (line.value.type != plat::REG_SZ || line.value.data.empty() ||
              line.value.data.back() != 0) {
            error = "\"Config File\" is not a string";
            return false;
          }
          marker.assign(line.value.data.begin(), line.value.data.end() - 1);
          if (marker != "Processing" && marker != "Purged") {
            error = "\"Config File\" holds \"" + marker + "\"";
            return false;
          }
        }
        break;
      default:
        break;
    }
  }
  if (!sawKey || !sawPort) {
    error = "the settings key or its \"Port\" went missing";
    return false;
  }
  return true;
}

bool CheckProfileFile(const std::string& expectedPort, std::string& error) {
  std::string text;
  if (!plat::ReadWholeFile(plat::ProfilePath(), text)) {
    error = "win.ini cannot be read";
    return false;
  }
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t nl = text.find('\n', at);
    std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    at = nl == std::string::npos ? text.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[' ? line.back() != ']' : line.find('=') == std::string::npos) {
      error = "a damaged win.ini line: " + line;
      return false;
    }
  }
  if (plat::GetIniString(text, "ports", "LPT1:", "") != expectedPort) {
    error = "win.ini no longer maps LPT1:";
    return false;
  }
  return true;
}

// ------------------------------------------------------------ the output

bool ParseOutput(const std::string& output, const std::vector<std::size_t>& boundaries,
                 const std::map<int, Job>& jobs, std::vector<Attempt>& attempts,
                 std::string& error) {
  attempts.clear();
  const std::string& prefix = JobPrefix();
  std::size_t p = 0;
  while (p < output.size()) {
    Attempt a;
    a.begin = p;
    std::size_t q = p;
    while (output.compare(q, prefix.size(), prefix) == 0) {
      q += prefix.size();
      ++a.prefixes;
    }
    int file = -1;
    std::size_t size = 0;
    // The first boundary behind the attempt's start: the attempt may stop
    // there and nowhere else.
    std::size_t cut = output.size();
    for (std::size_t b : boundaries) {
      if (b > p) {
        cut = std::min(cut, b);
        break;
      }
    }
    if (!ParseHeader(output, q, a.job, file, size)) {
      // Cut before the header was whole?
      const std::size_t room = prefix.size() + kHeaderSize;
      if (cut > p && cut <= q + room &&
          std::find(boundaries.begin(), boundaries.end(), cut) != boundaries.end()) {
        // A header cut by the kill: we cannot tell whose; it is at most a
        // few bytes of one attempt.
        a.job = -1;
        a.end = cut;
        attempts.push_back(a);
        p = cut;
        continue;
      }
      error = "no job starts at byte " + std::to_string(p);
      return false;
    }
    auto it = jobs.find(a.job);
    if (it == jobs.end() || file != 0) {
      error = "byte " + std::to_string(p) + " starts job " + std::to_string(a.job) +
              " file " + std::to_string(file) + ", which we never queued first";
      return false;
    }
    if (a.prefixes == 0) {
      error = "job " + std::to_string(a.job) + " printed without the job prefix at byte " +
              std::to_string(p);
      return false;
    }
    const std::string expected = ExpectedPrint(it->second, a.prefixes);
    const std::size_t wholeEnd = p + expected.size();
    if (cut < wholeEnd && cut > p) {
      // Interrupted by the kill at `cut`: what came must match.
      if (output.compare(p, cut - p, expected, 0, cut - p) != 0) {
        error = "job " + std::to_string(a.job) + " cut at " + std::to_string(cut) +
                " does not match before the cut (attempt at " + std::to_string(p) + ")";
        return false;
      }
      a.end = cut;
      attempts.push_back(a);
      p = cut;
      continue;
    }
    if (output.compare(p, expected.size(), expected) != 0) {
      std::size_t n = 0;
      while (p + n < output.size() && n < expected.size() && output[p + n] == expected[n]) ++n;
      error = "job " + std::to_string(a.job) + " differs at byte " + std::to_string(p + n) +
              " (attempt at " + std::to_string(p) + ", " + std::to_string(expected.size()) +
              " bytes expected, next boundary " + std::to_string(cut) + ")";
      return false;
    }
    a.whole = true;
    a.end = wholeEnd;
    attempts.push_back(a);
    p = wholeEnd;
  }
  return true;
}

}  // namespace soak
