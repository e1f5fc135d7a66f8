// Log writer of this machine: puts the record's "FILE:LINE: " in front of the caller's format
// and hands both to ZQ_EmitLog, so that the message is formatted once, by the log itself.
#include "platform/zq_log.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <syslog.h>

namespace {

// Copies `text` to `out` with each '%' doubled, so that it stands for itself in a format, and
// stops before `end`. Returns where it stopped.
char* Literal(char* out, const char* end, const char* text) {
  const size_t room = static_cast<size_t>(end - out);
  const auto* const nul = static_cast<const char*>(memchr(text, '\0', room));
  const size_t length = nul != nullptr ? static_cast<size_t>(nul - text) : room;
  if (memchr(text, '%', length) == nullptr) {  // the usual case: one copy
    memcpy(out, text, length);
    return out + length;
  }
  for (; *text != '\0' && end - out >= 2; ++text) {
    if (*text == '%') *out++ = '%';
    *out++ = *text;
  }
  return out;
}

}  // namespace

extern "C" void ZQ_WriteLog(int /*module*/, int level, int /*category*/, int /*flags*/,
                            const char* file, int line, const char* format, ...) {
  const int saved_errno = errno;
  char pattern[4096];  // far more than any record's prefix and format
  const char* const end = pattern + sizeof pattern - 1;
  char* out = Literal(pattern, pattern + 256, file ? file : "?");  // a long path is cut
  char digits[16];
  char* d = digits + sizeof digits;
  *--d = '\0';
  unsigned magnitude = line < 0 ? 0U - static_cast<unsigned>(line) : static_cast<unsigned>(line);
  do {
    *--d = static_cast<char>('0' + magnitude % 10);
  } while ((magnitude /= 10) != 0);
  if (line < 0) *--d = '-';
  *out++ = ':';
  const size_t digit_count = static_cast<size_t>(digits + sizeof digits - 1 - d);
  memcpy(out, d, digit_count);  // digits hold no '%' to double
  out += digit_count;
  *out++ = ':';
  *out++ = ' ';
  // A format too long for the rest is cut before its first '%', so that no argument is read.
  const size_t room = static_cast<size_t>(end - out);
  const auto* const nul = static_cast<const char*>(memchr(format, '\0', room));
  if (nul != nullptr) {
    memcpy(out, format, static_cast<size_t>(nul - format) + 1);
  } else {
    memcpy(out, format, room);
    char* const conversion = static_cast<char*>(memchr(out, '%', room));
    (conversion != nullptr ? *conversion : out[room]) = '\0';
  }
  va_list args;
  va_start(args, format);  // errno is still the caller's, for "%m"
  ZQ_EmitLog(level >= LOG_EMERG && level <= LOG_DEBUG ? level : LOG_ERR, pattern, args);
  va_end(args);
  errno = saved_errno;  // syslog, failing to reach the logger, says so in errno
}
