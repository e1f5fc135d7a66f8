// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// One log record through the platform log writer, with this system's fixed routing values. A run
// writes at most kRpmLogMax records, so that no input can flood the system log; the rest are
// counted, and RpmLogClose says how many. The records that tell how the run ended come on top.
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

constexpr unsigned kRpmLogMax = 1000;

// True while the run may still write a record; false, counting it, once kRpmLogMax were written.
bool RpmLogAdmit();
// Logs how many records were left out, if any, and starts the count again.
void RpmLogClose();

#define RPM_LOG_WRITE(...) ZQ_WriteLog(4, 3, 1, 0, RpmLogFile(__FILE__), __LINE__, __VA_ARGS__)
#define RPM_LOG(...) (RpmLogAdmit() ? RPM_LOG_WRITE(__VA_ARGS__) : static_cast<void>(0))
// A record that tells how the run ended: past the cap too, and with the last of the way out's
// patience to itself, so that a slow logger loses it last.
#define RPM_LOG_END(...) (ZQ_LastRecords(), RPM_LOG_WRITE(__VA_ARGS__))

#endif  // RPM_PARSER_RPM_LOG_H_
