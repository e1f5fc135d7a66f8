// Log writer of this machine: formats each record and hands it to ZQ_EmitLog.
#include "platform/zq_log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

extern "C" void ZQ_WriteLog(int /*module*/, int level, int /*category*/, int /*flags*/,
                            const char* file, int line, const char* format, ...) {
  const int saved_errno = errno;
  constexpr size_t kMessage = 8192;  // the longest path the front end accepts, with room to spare
  constexpr size_t kPrefix = 256;
  char record[kPrefix + kMessage];
  // "FILE:LINE: " first, cut to fit kPrefix, then the message formatted right after it.
  static_cast<void>(snprintf(record, kPrefix, "%s:%d: ", file ? file : "?", line));
  const size_t prefix = strlen(record);
  va_list args;
  va_start(args, format);
  errno = saved_errno;  // "%m" shows the caller's errno, whatever snprintf did with it
  // A message longer than kMessage bytes is cut.
  static_cast<void>(vsnprintf(record + prefix, kMessage, format, args));
  va_end(args);
  ZQ_EmitLog(level >= LOG_EMERG && level <= LOG_DEBUG ? level : LOG_ERR, record);
  errno = saved_errno;  // syslog, failing to reach the logger, says so in errno
}
