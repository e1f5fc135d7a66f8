// A log writer for end-to-end tests: each record goes to descriptor 3 as
// FILE \x1f FORMAT \x1f MESSAGE \x1e, or nowhere when descriptor 3 is not open.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/zq_log.h"

extern "C" void ZQ_WriteLog(int /*module*/, int /*level*/, int /*category*/, int /*flags*/,
                            const char* file, int /*line*/, const char* format, ...) {
  const int saved_errno = errno;
  char message[8192];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  const std::string record =
      std::string(file) + '\x1f' + format + '\x1f' + message + '\x1e';
  if (write(3, record.data(), record.size()) < 0) {
    // Nobody listens: the record is dropped, as a log service may do.
  }
  errno = saved_errno;
}
