// The bounded copy: success, exact fit, and every refusal leaving an empty destination.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/safe_str.h"

namespace {

TEST(StrcpySTest, CopiesWhatFitsAndEmptiesTheRest) {
  struct Case {
    const char* name;
    const char* src;
    size_t size;
    int rc;
    const char* want;
  };
  const Case kCases[] = {
      {"fits", "abc", 8, 0, "abc"},
      {"fits exactly with its terminator", "abcdefg", 8, 0, "abcdefg"},
      {"one byte too long", "abcdefgh", 8, ERANGE, ""},
      {"empty source", "", 1, 0, ""},
      {"no room for the terminator", "a", 1, ERANGE, ""},
      {"null source", nullptr, 8, EINVAL, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    char dest[8];
    memset(dest, 'x', sizeof dest);
    EXPECT_EQ(strcpy_s(dest, c.size, c.src), c.rc);
    EXPECT_STREQ(dest, c.want);
  }
}

TEST(StrcpySTest, RefusesAMissingDestination) {
  char dest[4] = "abc";
  EXPECT_NE(strcpy_s(nullptr, 4, "a"), 0);
  EXPECT_NE(strcpy_s(dest, 0, "a"), 0);
  EXPECT_STREQ(dest, "abc");  // a size of 0 leaves nothing that could be written
  EXPECT_NE(strcpy_s(dest, static_cast<size_t>(-1), "a"), 0);
}

}  // namespace
