// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Bounded copy for platforms whose C library lacks it.
#include "platform/safe_str.h"

#include <errno.h>
#include <string.h>

extern "C" int strcpy_s(char* dest, size_t destsz, const char* src) {
  if (dest == nullptr || destsz == 0) return EINVAL;
  if (src == nullptr) {
    dest[0] = '\0';
    return EINVAL;
  }
  // memchr, like strnlen, reads no further than the first NUL.
  const void* const nul = memchr(src, '\0', destsz);
  if (nul == nullptr) {  // no room left for the terminator
    dest[0] = '\0';
    return ERANGE;
  }
  memcpy(dest, src, static_cast<size_t>(static_cast<const char*>(nul) - src) + 1);
  return 0;
}
