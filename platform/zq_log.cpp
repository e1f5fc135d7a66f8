// Log writer of this machine: formats each record and hands it to ZQ_EmitLog.
#include "platform/zq_log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

extern "C" void ZQ_WriteLog(int /*module*/, int level, int /*category*/, int /*flags*/,
                            const char* file, int line, const char* format, ...) {
  const int saved_errno = errno;
  char message[8192];  // holds the longest path the front end accepts, with room to spare
  va_list args;
  va_start(args, format);
  // A message longer than the buffer is cut; "%m" shows the caller's errno, untouched so far.
  static_cast<void>(vsnprintf(message, sizeof message, format, args));
  va_end(args);
  char record[sizeof message + 256];
  static_cast<void>(snprintf(record, sizeof record, "%s:%d: %s", file ? file : "?", line, message));
  ZQ_EmitLog(level >= LOG_EMERG && level <= LOG_DEBUG ? level : LOG_ERR, record);
  errno = saved_errno;  // syslog, failing to reach the logger, says so in errno
}
