// A log writer for unit tests: keeps every record in memory instead of sending it anywhere.
#include "tests/log_capture.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "platform/zq_log.h"

std::vector<LogLine>& CapturedLogs() {
  static std::vector<LogLine> logs;
  return logs;
}

std::vector<std::string> CapturedFormats() {
  std::vector<std::string> formats;
  for (const LogLine& line : CapturedLogs()) formats.push_back(line.format);
  return formats;
}

extern "C" void ZQ_WriteLog(int module, int level, int category, int flags, const char* file,
                            int /*line*/, const char* format, ...) {
  const int saved_errno = errno;
  if (module != 4 || level != 3 || category != 1 || flags != 0) {
    CapturedLogs().push_back({file, "bad routing values", format});
  }
  char message[8192];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  CapturedLogs().push_back({file, format, message});
  errno = saved_errno;
}
