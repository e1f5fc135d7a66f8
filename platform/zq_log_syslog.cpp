// The records' way out on the device: datagrams to the system logger's socket, /dev/log, in the
// form syslog(3) gives them, "<PRI>Mmm dd hh:mm:ss rpm_parser[PID]: TEXT", facility user.
// Unlike syslog(3), which blocks for as long as the logger's queue stays full, a run waits for
// room there kPatienceMs in all, then drops the rest of its records.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "platform/zq_log.h"

namespace {

constexpr long long kPatienceMs = 100;

int g_fd = -2;              // -2 until the first record, -1 once there is no way out
long long g_waited_ns = 0;  // for room in the logger's queue, over the whole run

long long NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

int Connect() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, "/dev/log", sizeof "/dev/log");
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;  // no logger: the records are dropped
  }
  return fd;
}

// Sends one datagram, waiting for room out of what is left of the run's patience. False when
// it can't go: the logger is gone, or has stopped reading.
bool Send(const char* data, size_t size) {
  while (send(g_fd, data, size, MSG_NOSIGNAL) < 0) {
    if (errno == EINTR) continue;
    const long long left_ns = kPatienceMs * 1000000 - g_waited_ns;
    if (errno != EAGAIN || left_ns <= 0) return false;
    pollfd room{g_fd, POLLOUT, 0};
    const long long start = NowNs();
    poll(&room, 1, static_cast<int>((left_ns + 999999) / 1000000));
    g_waited_ns += NowNs() - start;
  }
  return true;
}

}  // namespace

extern "C" void ZQ_EmitLog(int severity, const char* text, size_t length) {
  if (g_fd == -2) g_fd = Connect();  // at the first record, not at start-up
  if (g_fd < 0) return;
  static char record[64 << 10];
  const time_t now = time(nullptr);
  tm local{};
  char stamp[32] = "";
  if (localtime_r(&now, &local) != nullptr) {
    static_cast<void>(strftime(stamp, sizeof stamp, "%h %e %T", &local));
  }
  const int head = snprintf(record, sizeof record, "<%d>%s %s[%d]: ", LOG_USER | severity, stamp,
                            program_invocation_short_name, static_cast<int>(getpid()));
  if (head < 0 || static_cast<size_t>(head) + length > sizeof record) return;
  memcpy(record + head, text, length);
  if (!Send(record, static_cast<size_t>(head) + length)) {
    close(g_fd);  // nothing more from this run
    g_fd = -1;
  }
}
