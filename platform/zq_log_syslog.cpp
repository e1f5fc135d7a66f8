// The records' way out on the device: the system logger's socket, /dev/log, facility user, in
// the form syslog(3) gives them: "<PRI>Mmm dd hh:mm:ss rpm_parser[PID]: TEXT". Unlike
// syslog(3), which blocks for as long as the logger's queue stays full, a run waits for the
// logger kLogPatienceMs in all, then drops the rest of its records.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>

#include "platform/zq_log.h"

namespace {

constexpr long long kLogPatienceMs = 100;

struct Logger {
  int fd = -1;
  int type = SOCK_DGRAM;
  bool tried = false;
  long long waited_ns = 0;  // waiting for room in the logger's queue, over the whole run
};
Logger g_log;

long long NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Datagrams, as most loggers take them; a stream where the socket is one, as syslog(3) does.
void Connect() {
  g_log.tried = true;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, "/dev/log", sizeof "/dev/log");
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
      g_log.fd = fd;
      g_log.type = type;
      return;
    }
    const int error = errno;
    close(fd);
    if (error != EPROTOTYPE) return;  // no logger: the records are dropped
  }
}

// Waits for room in the logger's queue, out of what is left of the run's patience. False when
// that is spent: the logger has stopped reading.
bool WaitForRoom() {
  const long long left_ns = kLogPatienceMs * 1000000 - g_log.waited_ns;
  if (left_ns <= 0) return false;
  pollfd p{g_log.fd, POLLOUT, 0};
  const long long start = NowNs();
  const int ready = poll(&p, 1, static_cast<int>((left_ns + 999999) / 1000000));
  g_log.waited_ns += NowNs() - start;
  return ready > 0 || (ready < 0 && errno == EINTR);
}

bool Send(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(g_log.fd, data, size, MSG_NOSIGNAL);
    if (sent >= 0) {
      data += sent;
      size -= static_cast<size_t>(sent);
    } else if (errno != EINTR && (errno != EAGAIN || !WaitForRoom())) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" void ZQ_EmitLog(int severity, const char* text, size_t length) {
  // The first record, not start-up, opens the socket.
  if (!g_log.tried) Connect();
  if (g_log.fd < 0) return;
  static char record[64 << 10];
  const time_t now = time(nullptr);
  tm local{};
  char stamp[32] = "";
  if (localtime_r(&now, &local) != nullptr) strftime(stamp, sizeof stamp, "%h %e %T", &local);
  const int head = snprintf(record, sizeof record, "<%d>%s %s[%d]: ", LOG_USER | severity, stamp,
                            program_invocation_short_name, static_cast<int>(getpid()));
  if (head < 0 || static_cast<size_t>(head) + length >= sizeof record) return;
  memcpy(record + head, text, length);
  size_t size = static_cast<size_t>(head) + length;
  if (g_log.type == SOCK_STREAM) record[size++] = '\0';  // ends a record on a stream
  if (!Send(record, size)) {
    // A logger that stopped reading, or went away, gets nothing more from this run.
    close(g_log.fd);
    g_log.fd = -1;
  }
}
