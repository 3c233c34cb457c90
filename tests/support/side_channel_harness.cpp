// Runs the CUPS backend as the print service does, with a side channel on
// its fd 4, and asks it what a filter would, through libcups's own
// cupsSideChannelDoRequest: GET_CONNECTED, GET_BIDI, GET_DEVICE_ID and
// GET_STATE while the job's data is still coming on the backend's standard
// input, then DRAIN_OUTPUT once that input has ended.
//
//   side_channel_harness DATA PRINTED BACKEND JOB-ID USER TITLE COPIES OPTIONS
//
// DATA is the job, PRINTED the virtual printer's output file. The backend
// gets the harness's environment (DEVICE_URI, KELVANE_HOME, ...). One line
// on standard output for each request:
//   NAME status=S data=HEX ms=T          (S a cups_sc_status_t)
//   DRAIN_OUTPUT status=S printed=N ms=T  (N the printer's bytes when the
//                                          answer came)
// with "input closed" before the drain and "exit=CODE" at the end. The
// backend's own reports go to standard error. Exit 0 when the harness could
// do its part, whatever the answers; 2 otherwise.
// One thread; the backend as a child.
#include <cups/sidechannel.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The side channel's asking end must be our own fd 4; ours are kept above
// the descriptors the backend is given until then.
constexpr int kHighFd = 10;

int KeepHigh(int fd) {
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, kHighFd);
  ::close(fd);
  return high;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string Hex(const char* data, int size) {
  std::string text;
  char byte[3];
  for (int i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(data[i]));
    text += byte;
  }
  return text;
}

long long FileSize(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

struct Asked {
  cups_sc_status_t status;
  std::string data;
  long long ms;
};

Asked Ask(cups_sc_command_t command, double timeout) {
  char data[1024];
  int size = sizeof data;
  const auto start = Clock::now();
  Asked asked;
  asked.status = cupsSideChannelDoRequest(command, data, &size, timeout);
  asked.ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  if (asked.status != CUPS_SC_STATUS_TIMEOUT && size > 0) asked.data = Hex(data, size);
  return asked;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 9) {
    std::fprintf(stderr,
                 "usage: %s DATA PRINTED BACKEND JOB-ID USER TITLE COPIES OPTIONS\n", argv[0]);
    return 2;
  }
  const char* dataPath = argv[1];
  const char* printedPath = argv[2];
  // A backend that ends before our last request must not end us.
  ::signal(SIGPIPE, SIG_IGN);

  std::string job;
  {
    const int fd = ::open(dataPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      std::perror(dataPath);
      return 2;
    }
    char buffer[65536];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
      job.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
  }

  // As the print service makes it: a stream socket pair, non-blocking.
  int side[2], input[2];
  if (::socketpair(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, side) != 0 ||
      ::pipe2(input, O_CLOEXEC) != 0) {
    std::perror("socketpair/pipe");
    return 2;
  }
  for (int* fd : {&side[0], &side[1], &input[0], &input[1]}) *fd = KeepHigh(*fd);

  const pid_t backend = ::fork();
  if (backend < 0) {
    std::perror("fork");
    return 2;
  }
  if (backend == 0) {
    ::dup2(input[0], 0);
    ::dup2(side[1], CUPS_SC_FD);
    std::vector<char*> args(argv + 3, argv + argc);
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(input[0]);
  ::close(side[1]);
  ::dup2(side[0], CUPS_SC_FD);
  ::close(side[0]);

  // Half of the job, then the questions: the backend cannot have read all
  // of its input yet, so whatever phase it is in, it is not done spooling.
  const std::size_t half = job.size() / 2;
  bool fed = WriteAll(input[1], job.data(), half);
  const struct {
    const char* name;
    cups_sc_command_t command;
  } questions[] = {{"GET_CONNECTED", CUPS_SC_CMD_GET_CONNECTED},
                   {"GET_BIDI", CUPS_SC_CMD_GET_BIDI},
                   {"GET_DEVICE_ID", CUPS_SC_CMD_GET_DEVICE_ID},
                   {"GET_STATE", CUPS_SC_CMD_GET_STATE}};
  for (const auto& question : questions) {
    // The timeout libcups's filters give most requests.
    const Asked asked = Ask(question.command, 2.0);
    std::printf("%s status=%d data=%s ms=%lld\n", question.name, asked.status,
                asked.data.c_str(), asked.ms);
    std::fflush(stdout);
  }
  fed = fed && WriteAll(input[1], job.data() + half, job.size() - half);
  ::close(input[1]);
  std::printf("input closed%s\n", fed ? "" : " early: the backend stopped reading");
  std::fflush(stdout);

  // The whole job goes to the printer before the answer may come: a long
  // wait, which the backend's end also cuts short.
  const Asked drained = Ask(CUPS_SC_CMD_DRAIN_OUTPUT, 120.0);
  std::printf("DRAIN_OUTPUT status=%d printed=%lld ms=%lld\n", drained.status,
              FileSize(printedPath), drained.ms);
  std::fflush(stdout);

  int status = 0;
  while (::waitpid(backend, &status, 0) < 0) {
    if (errno != EINTR) return 2;
  }
  std::printf("exit=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}
