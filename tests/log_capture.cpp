// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Stands in for the way out of the real log writer, whose records read "FILE:LINE: MESSAGE", and
// keeps "|MESSAGE" for each. Unit tests keep them in memory; the end-to-end build of the tool
// (LOG_TO_FD3) writes them to a copy of descriptor 3 made when the log is opened, as the real way
// out connects its socket; the fuzz target (LOG_DISCARD) drops them.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "platform/zq_log.h"
#include "tests/test_util.h"

S g_logs;

extern "C" void ZQ_LastRecords() {}
#ifdef LOG_TO_FD3
static int g_fd = -1;
// Like the log's socket: above the standard descriptors, opened before the tool confines itself.
extern "C" void ZQ_OpenLog() { g_fd = fcntl(3, F_DUPFD_CLOEXEC, 3); }
extern "C" int ZQ_LogDescriptor() { return g_fd; }
#else
extern "C" void ZQ_OpenLog() {}
#endif

#ifdef LOG_DISCARD
extern "C" void ZQ_EmitLog(int, const char*, size_t) {}  // keeps nothing, not even on the heap
#else
extern "C" void ZQ_EmitLog(int, const char* text, size_t length) {
  const char* message = static_cast<const char*>(memmem(text, length, ": ", 2)) + 2;
#ifdef LOG_TO_FD3
  // Nothing taken from the heap: a record may tell that it ran out.
  if (write(g_fd, "|", 1) < 0 || write(g_fd, message, size_t(text + length - message)) < 0) return;
#else
  g_logs += "|" + S(message, text + length);
#endif
}
#endif
