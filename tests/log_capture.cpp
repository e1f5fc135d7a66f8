// Stands in for the C library's syslog under the real log writer, whose records read
// "FILE:LINE: MESSAGE". Keeps "|MESSAGE" for each, or "|PRIORITY MESSAGE" when the priority is
// not the one that every record of this tool has (user, error).
// Unit tests keep them in memory; the end-to-end build of the tool (LOG_TO_FD3) writes them to
// a descriptor it opens at the first record, as syslog opens its socket, onto descriptor 3; the
// fuzz target (LOG_DISCARD) drops them. Like a syslog that can't reach its
// logger, it leaves errno changed.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tests/test_util.h"

S g_logs;

extern "C" void syslog(int priority, const char* format, ...) {
  char text[16384];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const S priority_text = priority == (LOG_USER | LOG_ERR) ? "" : std::to_string(priority) + " ";
  const S record = "|" + priority_text + (strstr(text, ": ") + 2);
#ifdef LOG_TO_FD3
  static const int fd = dup(3);  // like syslog's socket: the lowest free descriptor, kept open
  if (write(fd, record.data(), record.size()) < 0) return;  // nobody listens
#elif !defined(LOG_DISCARD)
  g_logs += record;
#endif
  errno = ECONNREFUSED;
}
