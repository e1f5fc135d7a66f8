// The executable end to end: options, standard output byte for byte, exit status, log records.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/package_builder.h"

namespace {

using Lines = std::vector<std::string>;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
  Lines logs;  // "FILE: MESSAGE" of every record, in order
};

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, sep)) parts.push_back(part);
  return parts;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs `tool` with `args`, standard output going to `out_path` when one is given; the test
// build's log records arrive on descriptor 3.
ToolRun RunTool(const char* tool, const std::vector<std::string>& args, const char* out_path = nullptr) {
  TempFile out(""), err(""), logs("");
  std::vector<std::string> words = Split(RPM_TOOL_EMULATOR, ';');
  words.push_back(tool);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    const int in_fd = open("/dev/null", O_RDONLY);
    const int out_fd = open(out_path ? out_path : out.path().c_str(), O_WRONLY);
    const int err_fd = open(err.path().c_str(), O_WRONLY);
    const int log_fd = open(logs.path().c_str(), O_WRONLY);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0 || log_fd < 0) _exit(120);
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    dup2(log_fd, 3);
    execvp(argv[0], argv.data());
    _exit(121);
  }
  ToolRun run;
  int wstatus = 0;
  if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) {
    run.status = WEXITSTATUS(wstatus);
  }
  run.out = Slurp(out.path());
  run.err = Slurp(err.path());
  for (const std::string& record : Split(Slurp(logs.path()), '\x1e')) {
    const std::vector<std::string> fields = Split(record, '\x1f');
    run.logs.push_back(fields.size() == 3 ? fields[0] + ": " + fields[2] : "bad record: " + record);
  }
  return run;
}

const std::string& Package() {
  // Distinct values for the tags that the key tests aim at.
  static const std::string bytes = [] {
    const int32_t tags[] = {-1, 0, 1000, 1004, INT32_MAX, INT32_MIN, 42};
    std::vector<IndexEntry> entries;
    std::string store;
    for (size_t i = 0; i < sizeof tags / sizeof tags[0]; ++i) {
      entries.push_back({tags[i], 4, static_cast<uint32_t>(store.size()), 1});
      store += BE32(static_cast<uint32_t>(11 + i));
    }
    return PackageBuilder().Lead().Section(entries, store).Build();
  }();
  return bytes;
}

const char kReaderEnd[] = "rpm_parser/rpm_parser.cpp: read rpm magic info failed.";

TEST(CliTest, OptionsAndStatuses) {
  TempFile pkg(Package());
  const std::string p = pkg.path();
  const std::string long_path(4095, 'p'), too_long_path(4096, 'p');
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string out;
    int status;
    Lines logs;
  };
  const Case kCases[] = {
      {"short options", {"-r", p, "-a", "print", "-k", "1000"}, "13", 0, {kReaderEnd}},
      {"long options", {"--rpm_path", p, "--action", "print", "--key", "1004"}, "14", 0,
       {kReaderEnd}},
      {"long options with =", {"--rpm_path=" + p, "--action=print", "--key=42"}, "17", 0,
       {kReaderEnd}},
      {"abbreviated long options", {"--rpm=" + p, "--act", "print", "--k=0"}, "12", 0,
       {kReaderEnd}},
      {"no key looks up -1", {"-r", p, "-a", "print"}, "11", 0, {kReaderEnd}},
      {"key without digits is 0", {"-r", p, "-a", "print", "-k", "abc"}, "12", 0, {kReaderEnd}},
      {"key stops at a non-digit", {"-r", p, "-a", "print", "-k", "1000x"}, "13", 0,
       {kReaderEnd}},
      {"key with space and sign", {"-r", p, "-a", "print", "-k", " +42"}, "17", 0, {kReaderEnd}},
      {"key held to int32 max", {"-r", p, "-a", "print", "-k", "2147483648"}, "15", 0,
       {kReaderEnd}},
      {"key far above int32", {"-r", p, "-a", "print", "-k", "99999999999999999999"}, "15", 0,
       {kReaderEnd}},
      {"key held to int32 min", {"-r", p, "-a", "print", "-k", "-2147483649"}, "16", 0,
       {kReaderEnd}},
      {"last key wins", {"-r", p, "-a", "print", "-k", "1000", "-k", "1004"}, "14", 0,
       {kReaderEnd}},
      {"absent tag prints nothing", {"-r", p, "-a", "print", "-k", "7"}, "", 0, {kReaderEnd}},
      {"options after other words", {"word", "-a", "print", "more", "-r", p, "-k", "42"}, "17",
       0, {kReaderEnd}},
      {"last action wins", {"-r", p, "-a", "Print", "-a", "print", "-k", "42"}, "17", 0,
       {kReaderEnd}},
      {"no action", {"-r", p, "-k", "42"}, "", 255, {"rpm_parser/rpm.cpp: Invalid action: ''"}},
      {"action is case-sensitive", {"-r", p, "-a", "Print"}, "", 255,
       {"rpm_parser/rpm.cpp: Invalid action: 'Print'"}},
      {"action of 15 characters fits", {"-r", p, "-a", "printprintprint"}, "", 255,
       {"rpm_parser/rpm.cpp: Invalid action: 'printprintprint'"}},
      {"action of 16 characters", {"-r", p, "-a", "printprintprintp"}, "", 255,
       {"rpm_parser/rpm.cpp: strcpy_s fail: '34'", "rpm_parser/rpm.cpp: Invalid action: ''"}},
      {"no path", {"-a", "print", "-k", "1"}, "", 255,
       {"rpm_parser/rpm_parser.cpp: Open rpm file fail!\n",
        "rpm_parser/rpm.cpp: Load rpm '' failed."}},
      {"path of 4095 characters fits", {"-r", long_path, "-a", "print"}, "", 255,
       {"rpm_parser/rpm_parser.cpp: Open rpm file fail!\n",
        "rpm_parser/rpm.cpp: Load rpm '" + long_path + "' failed."}},
      {"path of 4096 characters", {"-r", too_long_path, "-a", "print"}, "", 255,
       {"rpm_parser/rpm.cpp: strcpy_s fail: '34'",
        "rpm_parser/rpm_parser.cpp: Open rpm file fail!\n",
        "rpm_parser/rpm.cpp: Load rpm '' failed."}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const ToolRun run = RunTool(RPM_TOOL_LOGFD, c.args);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.logs, c.logs);
    EXPECT_EQ(run.err, "");
  }
}

TEST(CliTest, UnknownOptionsAreReportedAndPassedOver) {
  TempFile pkg(Package());
  for (const char* bad : {"--bogus", "-x", "--key"}) {
    SCOPED_TRACE(bad);
    const ToolRun run = RunTool(RPM_TOOL_LOGFD, {"-r", pkg.path(), "-a", "print", "-k", "42", bad});
    EXPECT_EQ(run.out, "17");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err, "");  // getopt_long's own message
  }
}

TEST(CliTest, FailedLoadsLogTheCauseThenTheFrontEnd) {
  TempFile short_file(std::string(95, 'x'));
  const ToolRun run = RunTool(RPM_TOOL_LOGFD, {"-r", short_file.path(), "-a", "print", "-k", "1"});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.logs, (Lines{"rpm_parser/rpm_parser.cpp: read rpm lead info failed, Success.",
                             "rpm_parser/rpm.cpp: Load rpm '" + short_file.path() + "' failed."}));
}

TEST(CliTest, AFailedWriteIsAFailure) {
  TempFile pkg(Package());
  const ToolRun run =
      RunTool(RPM_TOOL_LOGFD, {"-r", pkg.path(), "-a", "print", "-k", "42"}, "/dev/full");
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.logs,
            (Lines{kReaderEnd, "rpm_parser/rpm.cpp: write value failed, No space left on device."}));
}

TEST(CliTest, TheRealToolPrintsOnlyTheValue) {
  const std::string sample = std::string(RPM_TEST_DATA) + "/hello-2.1-3.noarch.rpm";
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const Case kCases[] = {
      {{"-r", sample, "-a", "print", "-k", "1000"}, "hello", 0},
      {{"-r", sample, "-a", "print", "-k", "1003"}, "1", 0},
      {{"-r", sample, "-a", "print", "-k", "1004"}, "Greets the world", 0},
      {{"-r", sample, "-a", "print", "-k", "1117"}, "hello\nEMPTY\nREADME", 0},
      {{"-r", sample, "-a", "print", "-k", "1047"}, "greeter\nhello", 0},
      {{"-r", sample, "-a", "show", "-k", "1003"}, "", 255},
      {{"-r", "/nonexistent.rpm", "-a", "print", "-k", "1003"}, "", 255},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.args[3] + " " + c.args[1]);
    const ToolRun run = RunTool(RPM_TOOL, c.args);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
