// The syslog log writer: record text, severity, and the caller's errno kept for "%m".
#include <gtest/gtest.h>
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/zq_log.h"

namespace {

struct Record {
  int priority;
  std::string text;
};
std::vector<Record> g_records;

__attribute__((format(printf, 2, 0))) void Capture(int priority, const char* format, va_list args) {
  char text[16384];
  vsnprintf(text, sizeof text, format, args);
  g_records.push_back({priority, text});
}

}  // namespace

// Stand in for the C library's syslog so that the records can be read back.
extern "C" void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Capture(priority, format, args);
  va_end(args);
}
extern "C" __attribute__((format(printf, 3, 4))) void __syslog_chk(int priority, int /*flag*/,
                                                                  const char* format, ...) {
  va_list args;
  va_start(args, format);
  Capture(priority, format, args);
  va_end(args);
}

namespace {

TEST(ZqWriteLogTest, WritesOneUserRecordPerCall) {
  g_records.clear();
  ZQ_WriteLog(4, 3, 1, 0, "rpm_parser/rpm.cpp", 42, "Invalid action: '%s'", "Print");
  ZQ_WriteLog(4, 6, 1, 0, "a.cpp", 7, "line one\n");
  ZQ_WriteLog(4, 99, 1, 0, "b.cpp", 1, "%d%%", 5);
  ASSERT_EQ(g_records.size(), 3u);
  EXPECT_EQ(g_records[0].priority, LOG_USER | LOG_ERR);
  EXPECT_EQ(g_records[0].text, "rpm_parser/rpm.cpp:42: Invalid action: 'Print'");
  EXPECT_EQ(g_records[1].priority, LOG_USER | LOG_INFO);
  EXPECT_EQ(g_records[1].text, "a.cpp:7: line one\n");
  EXPECT_EQ(g_records[2].priority, LOG_USER | LOG_ERR);  // out-of-range severities read as errors
  EXPECT_EQ(g_records[2].text, "b.cpp:1: 5%");
}

TEST(ZqWriteLogTest, ShowsAndKeepsTheCallersErrno) {
  g_records.clear();
  errno = ENOSPC;
  ZQ_WriteLog(4, 3, 1, 0, "rpm.cpp", 9, "write value failed, %m.");
  EXPECT_EQ(errno, ENOSPC);
  ASSERT_EQ(g_records.size(), 1u);
  EXPECT_EQ(g_records[0].text, "rpm.cpp:9: write value failed, No space left on device.");
}

TEST(ZqWriteLogTest, KeepsLongMessagesWhole) {
  g_records.clear();
  const std::string path(4095, 'p');
  ZQ_WriteLog(4, 3, 1, 0, "rpm.cpp", 1, "Load rpm '%s' failed.", path.c_str());
  ASSERT_EQ(g_records.size(), 1u);
  EXPECT_EQ(g_records[0].text, "rpm.cpp:1: Load rpm '" + path + "' failed.");
}

}  // namespace
