// Log writers for tests. Unit tests keep each record in memory; the end-to-end build of the tool
// (LOG_TO_FD3) writes each to descriptor 3, ended by \x1e; the fuzz target (LOG_DISCARD) only
// formats them, so that their arguments are checked. All record "FILE: MESSAGE".
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/zq_log.h"
#include "tests/test_util.h"

Lines& Logs() {
  static Lines logs;
  return logs;
}

extern "C" void ZQ_WriteLog(int module, int level, int category, int flags, const char* file,
                            int /*line*/, const char* format, ...) {
  const int saved_errno = errno;
  char message[8192];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  // Every record of this tool carries the same routing values.
  std::string record =
      (module == 4 && level == 3 && category == 1 && flags == 0 ? "" : "misrouted ");
  record += std::string(file) + ": " + message;
#ifdef LOG_TO_FD3
  record += '\x1e';
  if (write(3, record.data(), record.size()) < 0) errno = saved_errno;  // nobody listens
#elif !defined(LOG_DISCARD)
  Logs().push_back(record);
#endif
  errno = saved_errno;
}
