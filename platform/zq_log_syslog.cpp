// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// The records' way out on the device: the system logger's socket, /dev/log, in the form
// syslog(3) gives them, "<PRI>Mmm dd hh:mm:ss rpm_parser[PID]: TEXT", facility user. A logger that
// takes datagrams gets one a record; one that listens on a stream gets each record ended by a
// NUL, as syslog(3) frames them. Unlike syslog(3), which blocks for as long as the logger stops
// reading, a run waits for room there kPatience in all; the records that tell how the run ended
// have the last kReserve of it to themselves, and the others are dropped once the rest is spent.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <initializer_list>

#include "platform/zq_log.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPatience(100);
constexpr std::chrono::milliseconds kReserve(25);
// The tool's own name, not the one it was run by: the caller chooses that, and could make a
// record read as another program's ("sshd[1]: Accepted ...").
constexpr char kName[] = "rpm_parser";

int g_fd = -2;               // -2 until opened, -1 once there is no way out
bool g_stream = false;       // the logger listens on a stream: records end with a NUL
bool g_last = false;         // the records from here on tell how the run ended
Clock::duration g_waited{};  // for room in the logger's queue, over the whole run

// Sends all `size` bytes, waiting for room in the logger's queue out of what is left of the
// patience: all of it for the last records, and for one a stream has taken part of; all but the
// reserve for the others, which are dropped whole, untried, once that is spent. False when
// nothing more can go: no logger, or a stream that took only part of a record. No signal has a
// handler, so no call is interrupted.
bool Send(const char* data, size_t size) {
  for (const size_t whole = size; size > 0;) {
    const auto patience = g_last || size < whole ? kPatience : kPatience - kReserve;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(patience - g_waited);
    if (left.count() <= 0) return size == whole;
    const ssize_t n = send(g_fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) {  // a datagram goes whole; a stream may take part
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (errno != EAGAIN) return false;
    pollfd room{g_fd, POLLOUT, 0};
    const Clock::time_point start = Clock::now();
    static_cast<void>(poll(&room, 1, static_cast<int>(left.count())));
    g_waited += Clock::now() - start;
  }
  return true;
}

}  // namespace

extern "C" void ZQ_LastRecords(void) { g_last = true; }

extern "C" int ZQ_LogDescriptor(void) { return g_fd >= 0 ? g_fd : -1; }

extern "C" void ZQ_OpenLog(void) {
  if (g_fd != -2) return;
  tzset();  // localtime_r won't look for the zone again
  const sockaddr_un log{AF_UNIX, "/dev/log"};
  // A datagram first, then a stream, as syslog(3) tries them; without a logger, no way out.
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    g_fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // Above the standard descriptors, which the caller may have left closed: a value written
    // to one of those must never reach the logger.
    if (g_fd >= 0 && g_fd <= STDERR_FILENO) {
      const int low = g_fd;
      g_fd = fcntl(low, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
      close(low);
    }
    if (g_fd < 0) break;
    if (connect(g_fd, reinterpret_cast<const sockaddr*>(&log), sizeof log) == 0) {
      g_stream = type == SOCK_STREAM;
      return;
    }
    const bool other_type = errno == EPROTOTYPE;
    close(g_fd);
    if (!other_type) break;
  }
  g_fd = -1;
}

extern "C" void ZQ_EmitLog(int severity, const char* text, size_t length) {
  ZQ_OpenLog();
  if (g_fd < 0) return;
  const time_t now = time(nullptr);
  tm local{};
  char stamp[32] = "";
  if (localtime_r(&now, &local) != nullptr) {
    static_cast<void>(strftime(stamp, sizeof stamp, "%h %e %T", &local));
  }
  static char record[64 << 10];  // a record's text is at most 32 KiB
  const int size =
      snprintf(record, sizeof record, "<%d>%s %s[%d]: %.*s", LOG_USER | severity, stamp, kName,
               static_cast<int>(getpid()), static_cast<int>(length), text);
  // The NUL that snprintf wrote ends the record on a stream.
  if (!Send(record, static_cast<size_t>(size) + (g_stream ? 1 : 0))) {
    close(g_fd);  // nothing more from this run
    g_fd = -1;
  }
}
