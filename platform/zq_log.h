// Platform log writer: one record per call, for the platform's log service.
#ifndef PLATFORM_ZQ_LOG_H_
#define PLATFORM_ZQ_LOG_H_

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

// Writes one log record "FILE:LINE: MESSAGE", MESSAGE being `format` expanded with the
// arguments. `level` is a syslog severity (3 is "error"); the other three integers are
// the platform's routing values and are not interpreted here. "%m" shows the errno that
// was current on entry, and errno is left as it was found.
void ZQ_WriteLog(int module, int level, int category, int flags, const char* file, int line,
                 const char* format, ...) __attribute__((format(printf, 7, 8)));

// Hands one record to the system log at syslog severity `severity` (0-7): `format`, which
// already starts with the record's "FILE:LINE: ", expanded with `args` ("%m" as syslog reads
// it). Linked apart from the writer, so that tests can keep the records instead; it may change
// errno.
void ZQ_EmitLog(int severity, const char* format, va_list args);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_ZQ_LOG_H_
