// Log records captured from the code under test, in the order written.
#ifndef TESTS_LOG_CAPTURE_H_
#define TESTS_LOG_CAPTURE_H_

#include <string>
#include <vector>

struct LogLine {
  std::string file;
  std::string format;
  std::string message;  // the format expanded with its arguments
};

std::vector<LogLine>& CapturedLogs();
// The formats alone, which most tests compare.
std::vector<std::string> CapturedFormats();

#endif  // TESTS_LOG_CAPTURE_H_
