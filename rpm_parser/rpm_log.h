// One log record through the platform log writer, with this system's fixed routing values.
#ifndef RPM_PARSER_RPM_LOG_H_
#define RPM_PARSER_RPM_LOG_H_

#include "platform/zq_log.h"

// The last two components of `path`: a source's place in the checkout, such as
// "rpm_parser/rpm.cpp", whatever prefix map the build applied to __FILE__.
constexpr const char* RpmLogFile(const char* path) {
  const char* dir = path;
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/') {
      dir = name;
      name = p + 1;
    }
  }
  return dir;
}

#define RPM_LOG(...) ZQ_WriteLog(4, 3, 1, 0, RpmLogFile(__FILE__), __LINE__, __VA_ARGS__)

#endif  // RPM_PARSER_RPM_LOG_H_
