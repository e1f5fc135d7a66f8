// The records' way out on the device: syslog(3), facility user, under the program's name.
#include <errno.h>
#include <syslog.h>

#include "platform/zq_log.h"

extern "C" void ZQ_EmitLog(int severity, const char* format, va_list args) {
  // The process id tells apart the records of runs that overlap. No LOG_NDELAY: the first
  // record, not start-up, opens the logger's socket.
  static bool opened = false;
  if (!opened) {
    openlog(program_invocation_short_name, LOG_PID, LOG_USER);
    opened = true;  // a second openlog, from a race, would set the same
  }
  // The caller's format, checked where ZQ_WriteLog was called, behind a prefix with every '%'
  // doubled.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  vsyslog(LOG_USER | severity, format, args);
#pragma GCC diagnostic pop
}
