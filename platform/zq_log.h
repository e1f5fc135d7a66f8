// Platform log writer: one record per call, for the platform's log service.
#ifndef PLATFORM_ZQ_LOG_H_
#define PLATFORM_ZQ_LOG_H_

#ifdef __cplusplus
extern "C" {
#endif

// Writes one log record "FILE:LINE: MESSAGE", MESSAGE being `format` expanded with the
// arguments. `level` is a syslog severity (3 is "error"); the other three integers are
// the platform's routing values and are not interpreted here. "%m" shows the errno that
// was current on entry, and errno is left as it was found.
void ZQ_WriteLog(int module, int level, int category, int flags, const char* file, int line,
                 const char* format, ...) __attribute__((format(printf, 7, 8)));

// Hands one finished record to the system log at syslog severity `severity` (0-7). Linked
// apart from the writer, so that tests can keep the records instead; it may change errno.
void ZQ_EmitLog(int severity, const char* text);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_ZQ_LOG_H_
