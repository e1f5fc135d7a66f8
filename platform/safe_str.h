// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Bounds-checked string copy with the meaning C11 Annex K gives it.
#ifndef PLATFORM_SAFE_STR_H_
#define PLATFORM_SAFE_STR_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Copies `src` with its terminator into `dest` of `destsz` bytes. Returns 0 on success;
// otherwise a non-zero code (EINVAL for a null pointer or a zero size, ERANGE when `src`
// does not fit), and `dest`, when there is one, is left an empty string.
int strcpy_s(char* dest, size_t destsz, const char* src);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_SAFE_STR_H_
