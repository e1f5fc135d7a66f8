// Stands in for the way out of the real log writer, whose records read "FILE:LINE: MESSAGE".
// Keeps "|MESSAGE" for each, or "|SEVERITY MESSAGE" when the severity is not the one that every
// record of this tool has (error).
// Unit tests keep them in memory; the end-to-end build of the tool (LOG_TO_FD3) writes them to
// a copy of descriptor 3 made when the log is opened, as the real way out connects its socket; the
// fuzz target (LOG_DISCARD) drops them. Like a way out that can't reach its logger, it leaves errno
// changed.
#include <fcntl.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/zq_log.h"
#include "tests/test_util.h"

S g_logs;

extern "C" void ZQ_LastRecords() {}
#ifdef LOG_TO_FD3
static int g_fd = -2;
// Like the log's socket: above the standard descriptors, opened before the tool confines itself.
extern "C" void ZQ_OpenLog() {
  if (g_fd == -2) g_fd = fcntl(3, F_DUPFD_CLOEXEC, 3);
}
#else
extern "C" void ZQ_OpenLog() {}
#endif

#ifdef LOG_DISCARD
extern "C" void ZQ_EmitLog(int, const char*, size_t) {}  // keeps nothing, not even on the heap
#else
extern "C" void ZQ_EmitLog(int severity, const char* text, size_t length) {
  char severity_text[16] = "";
  if (severity != LOG_ERR) snprintf(severity_text, sizeof severity_text, "%d ", severity);
  const char* message = static_cast<const char*>(memmem(text, length, ": ", 2)) + 2;
#ifdef LOG_TO_FD3
  // Nothing taken from the heap: a record may tell that it ran out.
  ZQ_OpenLog();
  char bar[] = "|";
  iovec parts[] = {{bar, 1},
                   {severity_text, strlen(severity_text)},
                   {const_cast<char*>(message), static_cast<size_t>(text + length - message)}};
  if (writev(g_fd, parts, 3) < 0) return;  // nobody listens
#else
  g_logs += "|" + S(severity_text) + S(message, text + length);
#endif
  errno = ECONNREFUSED;
}
#endif
