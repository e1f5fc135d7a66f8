// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Platform log writer: one record per call, for the platform's log service.
#ifndef PLATFORM_ZQ_LOG_H_
#define PLATFORM_ZQ_LOG_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Writes one log record "FILE:LINE: MESSAGE", MESSAGE being `format` expanded with the
// arguments. `level` is a syslog severity, 0 to 7 (3 is "error"); the other three integers are
// the platform's routing values and are not interpreted here. "%m" shows the errno that
// was current on entry, and errno is left as it was found. A record is one line: control
// bytes are written as '#' and three octal digits (a line feed as "#012"), but for a line
// feed that ends the message.
void ZQ_WriteLog(int module, int level, int category, int flags, const char* file, int line,
                 const char* format, ...) __attribute__((format(printf, 7, 8)));

// Writes the `length` bytes at `text` to `out` as printable text on one line: each byte below
// 0x20 and 0x7F as '#' and its three octal digits, any other as it is. Returns the bytes
// written, at most 4 * length.
size_t ZQ_EscapeLog(const char* text, size_t length, char* out);

// Marks the records from here on as those that tell how the run ended: the way out keeps the
// last part of its patience for them, which earlier records may not spend.
void ZQ_LastRecords(void);

// Sets up the way out to the system log: the logger's socket connected and the local time zone
// loaded, so that records still go out once the process may open nothing more. ZQ_EmitLog does
// it at the first record when nobody did before.
void ZQ_OpenLog(void);

// The descriptor the way out holds, the logger's socket, or -1 when it holds none.
int ZQ_LogDescriptor(void);

// Hands one finished record, `length` bytes of "FILE:LINE: MESSAGE", to the system log at
// syslog severity `severity` (0-7). Linked apart from the writer, so that tests can keep the
// records instead; it may change errno.
void ZQ_EmitLog(int severity, const char* text, size_t length);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_ZQ_LOG_H_
