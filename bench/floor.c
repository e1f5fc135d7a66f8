// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
/* The floor run.sh measures rpm_parser against: the least work an exact reader does to print
 * one tag's value. Reads the lead, then per section the preamble, index+store in one read into a
 * block mapped in one call (on huge pages when big) as the tool maps it, and the fill; finds the
 * NULs that end every text entry, since whether they lie inside the store decides the entry's
 * record; copies nothing but the printed value. A measuring stick, not product code. It sends the
 * log records rpm_parser sends on the same file (one per entry of a type without a value, and the
 * one that closes the reading), so that neither side is charged the other's syslog traffic.
 * Usage: floor PKG TAG */
#define _DEFAULT_SOURCE /* madvise */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

static const uint8_t kMagic[8] = {0x8E, 0xAD, 0xE8, 0x01, 0, 0, 0, 0};

/* The tool's record layout, "FILE:LINE: MESSAGE", at its priority. */
#define FLOOR_LOG(msg) syslog(LOG_USER | LOG_ERR, "%s:%d: %s", __FILE__, __LINE__, msg)

static uint32_t be32(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static int read_all(int fd, void* buf, size_t n) {
  uint8_t* p = buf;
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return 0;
    p += r;
    n -= (size_t)r;
  }
  return 1;
}

static int write_all(const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(STDOUT_FILENO, p, n);
    if (w <= 0) return 0;
    p += w;
    n -= (size_t)w;
  }
  return 1;
}

/* Maps in the whole pages of a block about to be read into, as the tool does. */
static void prefault(uint8_t* p, size_t n) {
  if (n < (16 << 10)) return;
  uint8_t* pages = (uint8_t*)(((uintptr_t)p + 4095) & ~(uintptr_t)4095);
  const size_t size = (size_t)(p + n - pages) & ~(size_t)4095;
  if (n >= (2 << 20)) madvise(pages, size, MADV_HUGEPAGE);
  madvise(pages, size, MADV_POPULATE_WRITE);
}

/* True when the entry's strings, `count` of them for an array, end inside the store. */
static int text_fits(uint32_t type, uint32_t count, const uint8_t* v, const uint8_t* end) {
  for (uint32_t i = 0, n = type == 8 ? count : 1; i < n; ++i) {
    const uint8_t* nul = v < end ? memchr(v, 0, (size_t)(end - v)) : NULL;
    if (nul == NULL) return 0;
    v = nul + 1;
  }
  return 1;
}

/* Prints the value at `v`, `avail` bytes of store from it; nothing if it overruns the store. */
static int print_value(uint32_t type, uint32_t count, uint8_t* v, size_t avail) {
  static const size_t kWidth[] = {0, 0, 1, 2, 4, 8};
  if (type >= 2 && type <= 5) {
    if (avail < kWidth[type]) return 1;
    long long x;
    if (type == 2)
      x = (int8_t)v[0];
    else if (type == 3)
      x = (int16_t)(uint16_t)(v[0] << 8 | v[1]);
    else if (type == 4)
      x = (int32_t)be32(v);
    else
      x = (long long)((uint64_t)be32(v) << 32 | be32(v + 4));
    char text[24];
    int n = snprintf(text, sizeof text, "%lld", x);
    return write_all((const uint8_t*)text, (size_t)n);
  }
  if (type == 6 || type == 9) {
    const uint8_t* nul = memchr(v, 0, avail);
    return nul == NULL || write_all(v, (size_t)(nul - v));
  }
  /* STRING_ARRAY: joined in place (the output never outruns the input), then one write. */
  uint8_t* out = v;
  const uint8_t *in = v, *end = v + avail;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* nul = in < end ? memchr(in, 0, (size_t)(end - in)) : NULL;
    if (nul == NULL) return 1;
    size_t len = (size_t)(nul - in);
    if (len > 0) {
      if (out != v) *out++ = '\n';
      memmove(out, in, len);
      out += len;
    }
    in = nul + 1;
  }
  return write_all(v, (size_t)(out - v));
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: floor PKG TAG\n");
    return 2;
  }
  const int32_t tag = (int32_t)strtol(argv[2], NULL, 10);
  int fd = open(argv[1], O_RDONLY);
  struct stat st;
  uint8_t lead[96];
  if (fd < 0 || fstat(fd, &st) != 0 || !read_all(fd, lead, sizeof lead)) return 255;
  uint64_t left = st.st_size > 96 ? (uint64_t)st.st_size - 96 : 0;

  uint8_t *hit_block = NULL, *hit = NULL;
  uint32_t hit_type = 0, hit_count = 0;
  size_t hit_avail = 0;
  for (;;) {
    uint8_t pre[16];
    if (left < 8) {
      FLOOR_LOG("read rpm magic info failed.");
      break;
    }
    const size_t pre_size = left < 16 ? 8 : 16;
    if (!read_all(fd, pre, pre_size) || memcmp(pre, kMagic, 8) != 0) {
      FLOOR_LOG("rpm magic info failed.");
      break;
    }
    if (pre_size < 16) break;
    left -= 16;
    const uint64_t il = be32(pre + 8), dl = be32(pre + 12), nb = 16 * il + dl;
    if (il > INT32_MAX || nb > left) break;
    uint8_t* block = malloc(nb + 1);
    if (block == NULL) break;
    prefault(block, nb);
    if (!read_all(fd, block, nb)) break;
    left -= nb;
    uint8_t* store = block + 16 * il;
    int found = 0;
    for (uint64_t i = 0; i < il; ++i) { /* the last entry of the tag wins */
      const uint8_t* e = block + 16 * i;
      const uint32_t type = be32(e + 4), off = be32(e + 8);
      if (type < 2 || type > 9 || type == 7) FLOOR_LOG("create RpmVal failed.");
      if ((type == 6 || type == 8 || type == 9) && off < dl &&
          !text_fits(type, be32(e + 12), store + off, store + dl))
        FLOOR_LOG("tag out of data store.");
      if ((int32_t)be32(e) != tag || off >= dl || type < 2 || type > 9 || type == 7) continue;
      hit = store + off;
      hit_avail = (size_t)(dl - off);
      hit_type = type;
      hit_count = be32(e + 12);
      found = 1;
    }
    if (found) {
      free(hit_block);
      hit_block = block;
    } else {
      free(block);
    }
    uint8_t fill[8];
    const size_t fill_size = (size_t)((8 - nb % 8) % 8);
    if (fill_size > left || !read_all(fd, fill, fill_size)) break;
    left -= fill_size;
  }
  if (hit_block != NULL && !print_value(hit_type, hit_count, hit, hit_avail)) return 255;
  return 0;
}
