// Log writer for fuzzing: formats every record, so that its arguments are checked, and drops it.
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "platform/zq_log.h"

extern "C" void ZQ_WriteLog(int, int, int, int, const char*, int, const char* format, ...) {
  const int saved_errno = errno;
  char message[8192];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  errno = saved_errno;
}
