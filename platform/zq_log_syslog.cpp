// The records' way out on the device: datagrams to the system logger's socket, /dev/log, in the
// form syslog(3) gives them, "<PRI>Mmm dd hh:mm:ss rpm_parser[PID]: TEXT", facility user.
// Unlike syslog(3), which blocks for as long as the logger's queue stays full, a run waits for
// room there kPatience in all, then drops the rest of its records.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "platform/zq_log.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPatience(100);

int g_fd = -2;               // -2 until the first record, -1 once there is no way out
Clock::duration g_waited{};  // for room in the logger's queue, over the whole run

// Sends one datagram, waiting for room in the logger's queue out of what is left of the run's
// patience. False when it can't go: no logger, or one that has stopped reading. No signal has a
// handler, so no call is interrupted.
bool Send(const char* data, size_t size) {
  while (send(g_fd, data, size, MSG_NOSIGNAL) < 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(kPatience - g_waited);
    if (errno != EAGAIN || left.count() <= 0) return false;
    pollfd room{g_fd, POLLOUT, 0};
    const Clock::time_point start = Clock::now();
    static_cast<void>(poll(&room, 1, static_cast<int>(left.count())));
    g_waited += Clock::now() - start;
  }
  return true;
}

}  // namespace

extern "C" void ZQ_EmitLog(int severity, const char* text, size_t length) {
  if (g_fd == -2) {  // at the first record, not at start-up
    g_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_un log{AF_UNIX, "/dev/log"};
    // Without a logger, the first send fails and ends the records.
    static_cast<void>(connect(g_fd, reinterpret_cast<const sockaddr*>(&log), sizeof log));
  }
  if (g_fd < 0) return;
  const time_t now = time(nullptr);
  tm local{};
  char stamp[32] = "";
  if (localtime_r(&now, &local) != nullptr) {
    static_cast<void>(strftime(stamp, sizeof stamp, "%h %e %T", &local));
  }
  static char record[64 << 10];  // a record's text is at most 32 KiB
  static_cast<void>(snprintf(record, sizeof record, "<%d>%s %s[%d]: %.*s", LOG_USER | severity,
                             stamp, program_invocation_short_name, static_cast<int>(getpid()),
                             static_cast<int>(length), text));
  if (!Send(record, strlen(record))) {
    close(g_fd);  // nothing more from this run
    g_fd = -1;
  }
}
