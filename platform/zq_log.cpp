// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Log writer of this machine: formats the record, makes it one line of printable text, and
// hands it to ZQ_EmitLog.
#include "platform/zq_log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

extern "C" size_t ZQ_EscapeLog(const char* text, size_t length, char* out) {
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7F) {
      out[n++] = static_cast<char>(c);
    } else {
      const char escape[4] = {'#', static_cast<char>('0' + (c >> 6)),
                              static_cast<char>('0' + (c >> 3 & 7)),
                              static_cast<char>('0' + (c & 7))};
      for (const char e : escape) out[n++] = e;
    }
  }
  return n;
}

extern "C" void ZQ_WriteLog(int /*module*/, int level, int /*category*/, int /*flags*/,
                            const char* file, int line, const char* format, ...) {
  const int saved_errno = errno;
  // Far more than any record: the longest argument is a path of 4,095 bytes.
  static char raw[8192];
  static char text[4 * sizeof raw];
  static_cast<void>(snprintf(raw, sizeof raw, "%s:%d: ", file ? file : "?", line));
  const size_t n = strlen(raw);
  va_list args;
  va_start(args, format);
  static_cast<void>(vsnprintf(raw + n, sizeof raw - n, format, args));  // "%m": the caller's
  va_end(args);
  const size_t length = n + strlen(raw + n);
  // Text from the command line must not split a record nor reach a terminal raw; the line
  // feed that ends a message is the logger's to drop.
  const bool line_feed = raw[length - 1] == '\n';  // never empty: it starts FILE:LINE
  size_t out = ZQ_EscapeLog(raw, length - (line_feed ? 1 : 0), text);
  if (line_feed) text[out++] = '\n';
  ZQ_EmitLog(level, text, out);
  errno = saved_errno;  // the way out, failing to reach the logger, says so in errno
}
