// Package reader: the lead and every header section of a package, decoded into a tag table.
#ifndef RPM_PARSER_RPM_PARSER_H_
#define RPM_PARSER_RPM_PARSER_H_

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "rpm_parser/rpm_val.h"

class RpmParser {
 public:
  using TagTable = std::map<int32_t, std::unique_ptr<RpmVal>>;

  RpmParser() = default;
  RpmParser(const RpmParser&) = delete;
  RpmParser& operator=(const RpmParser&) = delete;

  // Reads the package at `path`. True when the file opened and its 96-byte lead was read,
  // whatever became of the header sections after it; false otherwise. The cause is logged.
  bool Load(const char* path);
  // The same from a stream positioned at the lead, which stays open for the caller.
  bool Load(FILE* fp);

  // The text of the tag's value; empty when the tag is absent.
  std::string GetValue(int32_t tag) const;
  const TagTable& Tags() const { return tags_; }

 private:
  struct Source;
  // Reads one header section and files its values. False, after logging why, when the section
  // could not be taken whole; its values may still have been filed when only its fill is short.
  bool ReadHeader(Source* src);

  TagTable tags_;
};

#endif  // RPM_PARSER_RPM_PARSER_H_
