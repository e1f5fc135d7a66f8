// The executable end to end: options, standard output byte for byte, exit status, log records;
// and the syslog writer it is linked with.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/zq_log.h"
#include "tests/test_util.h"

namespace {

using S = std::string;

Lines Split(const S& text, char sep) {
  Lines parts;
  std::istringstream in(text);
  for (S part; std::getline(in, part, sep);) parts.push_back(part);
  return parts;
}

S Slurp(const S& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct ToolRun {
  S out, err;
  int status = -1;
  Lines logs;  // "FILE: MESSAGE" of each record the test build wrote to descriptor 3
};

// Runs `tool` (under the cross build's emulator, if any) after the shell text `before`; no
// argument may hold a quote.
ToolRun RunTool(const char* tool, const Lines& args, const S& out_path = "", const S& before = "") {
  TempFile out(""), err(""), logs("");
  S cmd = before;
  for (const S& word : Split(RPM_TOOL_EMULATOR, ' ')) cmd += "'" + word + "' ";
  cmd += tool;
  for (const S& arg : args) cmd += " '" + arg + "'";
  cmd += " >" + (out_path.empty() ? out.path : out_path) + " 2>" + err.path + " 3>" + logs.path;
  const int status = system(cmd.c_str());
  return {Slurp(out.path), Slurp(err.path), WIFEXITED(status) ? WEXITSTATUS(status) : -1,
          Split(Slurp(logs.path), '\x1e')};
}

S Front(const S& m) { return "rpm_parser/rpm.cpp: " + m; }
S Reader(const S& m) { return "rpm_parser/rpm_parser.cpp: " + m; }

TEST(CliTest, OptionsStatusesAndLogs) {
  std::vector<IndexEntry> entries;
  S store;
  for (int32_t tag : {-1, 0, 1000, 1004, INT32_MAX, INT32_MIN, 42}) {
    entries.push_back({tag, 4, uint32_t(store.size()), 1});
    store += BE32(uint32_t(11 + entries.size() - 1));  // 11 for tag -1 ... 17 for tag 42
  }
  const TempFile pkg(PackageBuilder().Lead().Section(entries, store).bytes);
  const S p = pkg.path, long_path(4095, 'p'), end = Reader("read rpm magic info failed.");
  const S open_failed = Reader("Open rpm file fail!\n"), too_long = Front("strcpy_s fail: '34'");
  const struct {
    Lines args;
    S out;
    int status;
    Lines logs;
  } kCases[] = {
      {{"-r", p, "-a", "print", "-k", "1000"}, "13", 0, {end}},
      {{"--rpm_path", p, "--action", "print", "--key", "1004"}, "14", 0, {end}},
      {{"--rpm_path=" + p, "--action=print", "--key=42"}, "17", 0, {end}},
      {{"--rpm=" + p, "--act", "print", "--k=0"}, "12", 0, {end}},
      {{"-r", p, "-a", "print"}, "11", 0, {end}},               // no key: tag -1
      {{"-r", p, "-a", "print", "-k", "abc"}, "12", 0, {end}},  // no digits: tag 0
      {{"-r", p, "-a", "print", "-k", " +1000x"}, "13", 0, {end}},
      {{"-r", p, "-a", "print", "-k", "2147483648"}, "15", 0, {end}},  // held to int32
      {{"-r", p, "-a", "print", "-k", "99999999999999999999"}, "15", 0, {end}},
      {{"-r", p, "-a", "print", "-k", "-2147483649"}, "16", 0, {end}},
      {{"-r", p, "-a", "print", "-k", "1000", "-k", "1004"}, "14", 0, {end}},
      {{"-r", p, "-a", "print", "-k", "7"}, "", 0, {end}},  // absent: nothing, and success
      {{"word", "-a", "Print", "more", "-r", p, "-a", "print", "-k", "42"}, "17", 0, {end}},
      {{"-r", p, "-k", "42"}, "", 255, {Front("Invalid action: ''")}},  // the file is not read
      {{"-r", p, "-a", "Print"}, "", 255, {Front("Invalid action: 'Print'")}},
      {{"-r", p, "-a", "printprintprint"}, "", 255, {Front("Invalid action: 'printprintprint'")}},
      {{"-r", p, "-a", "printprintprintp"}, "", 255, {too_long, Front("Invalid action: ''")}},
      {{"-a", "print"}, "", 255, {open_failed, Front("Load rpm '' failed.")}},
      {{"-r", long_path, "-a", "print"},
       "",
       255,
       {open_failed, Front("Load rpm '" + long_path + "' failed.")}},
      {{"-r", long_path + "p", "-a", "print"},
       "",
       255,
       {too_long, open_failed, Front("Load rpm '' failed.")}},
      {{"-r", "/", "-a", "print"},
       "",
       255,
       {Reader("read rpm lead info failed, Is a directory."), Front("Load rpm '/' failed.")}},
  };
  for (const auto& c : kCases) {
    const ToolRun run = RunTool(RPM_TOOL_LOGFD, c.args);
    EXPECT_EQ(run.out + "|" + run.err + "|" + std::to_string(run.status),
              c.out + "||" + std::to_string(c.status))
        << ::testing::PrintToString(c.args);
    EXPECT_EQ(run.logs, c.logs) << ::testing::PrintToString(c.args);
  }
  // Options count wherever they stand, whatever the environment says.
  const S posix = "POSIXLY_CORRECT=1 ";
  EXPECT_EQ(RunTool(RPM_TOOL_LOGFD, {"word", "-a", "print", "-r", p, "-k", "42"}, "", posix).out,
            "17");
  // getopt_long reports what it does not know on standard error; the run goes on.
  const ToolRun bogus =
      RunTool(RPM_TOOL_LOGFD, {"--bogus", "-x", "-r", p, "-a", "print", "-k", "42"});
  EXPECT_EQ(bogus.out + "|" + std::to_string(bogus.status), "17|0");
  EXPECT_NE(bogus.err, "");
  // A value that could not be written is no success.
  const ToolRun full = RunTool(RPM_TOOL_LOGFD, {"-r", p, "-a", "print", "-k", "42"}, "/dev/full");
  EXPECT_EQ(full.status, 255);
  EXPECT_EQ(full.logs, (Lines{end, Front("write value failed, No space left on device.")}));
}

// Files that claim far more than they hold, read under an address-space limit of 48 MiB above
// their size: the right log lines and a clean exit, never a crash.
TEST(CliTest, HostileFilesStayWithinMemory) {
  std::vector<IndexEntry> shared;  // a thousand entries naming one 16 MiB string
  for (int32_t tag = 1; tag <= 1000; ++tag) shared.push_back({tag, 6, 0, 1});
  PackageBuilder empties;  // 100,000 empty sections, then one tag
  for (int i = 0; i < 100000; ++i) empties.Section({}, "");
  const S lead = PackageBuilder().Lead().bytes,
          huge = PackageBuilder().Preamble(INT32_MAX, ~0u).bytes;
  const struct {
    S bytes, key;
    bool piped;  // a pipe can't tell its length: the block grows only as bytes arrive
    size_t out_size;
    Lines logs;
  } kCases[] = {
      {lead + huge, "1", false, 0, {Reader("read nb failed.")}},
      {lead + PackageBuilder().Preamble(0x10000001, 16).bytes + S(64, 'x'),
       "1",
       false,
       0,
       {Reader("read nb failed.")}},
      {lead + huge, "1", true, 0, {Reader("alloc ei failed, Cannot allocate memory.")}},
      {lead + empties.Section({{7, 4, 0, 1}}, BE32(7)).bytes,
       "7",
       false,
       1,
       {Reader("read rpm magic info failed.")}},
      {lead + PackageBuilder().Section(shared, S(16 << 20, 'x') + '\0').bytes,
       "1",
       false,
       16 << 20,
       {}},
  };
  for (const auto& c : kCases) {
    const TempFile pkg(c.bytes);
    S limit = "ulimit -v " + std::to_string((c.bytes.size() >> 10) + (48 << 10)) + "; ";
    S env;  // the sanitizers and the emulator reserve far more address space than that
    if (RPM_SANITIZED)
      limit = "", env = "ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=48 ";
    if (!S(RPM_TOOL_EMULATOR).empty()) limit = "";
    const S pipe = c.piped ? "(cat " + pkg.path + "; cat /dev/zero) | " : "";
    const Lines args = {"-r", c.piped ? "/dev/stdin" : pkg.path, "-a", "print", "-k", c.key};
    const ToolRun run = RunTool(RPM_TOOL_LOGFD, args, "", limit + pipe + env);
    EXPECT_EQ(run.status, 0) << c.key;
    EXPECT_EQ(run.out.size(), c.out_size) << c.key;
    if (c.logs.empty()) {  // all but the first entry of the shared string are refused
      ASSERT_EQ(run.logs.size(), 1000u);
      EXPECT_EQ(run.logs[998], Reader("tag 1000 over data budget."));
    } else {
      EXPECT_EQ(run.logs, c.logs) << c.key;
    }
  }
}

// A package of over 2 GiB opens on 32-bit targets too; its payload is never read.
TEST(CliTest, OpensPackagesOver2GiB) {
  const TempFile big(PackageBuilder().Lead().Section({{1, 4, 0, 1}}, BE32(5)).bytes);
  ASSERT_EQ(truncate(big.path.c_str(), off_t{3} << 30), 0);
  EXPECT_EQ(RunTool(RPM_TOOL_LOGFD, {"-r", big.path, "-a", "print", "-k", "1"}).out, "5");
}

TEST(CliTest, PrintsTheSamplePackagesValues) {
  const struct {
    const char *file, *tag, *want;
  } kCases[] = {
      {"hello-2.1-3.noarch.rpm", "1000", "hello"},  // over the signature header's integer
      {"hello-2.1-3.noarch.rpm", "1001", "2.1"},
      {"hello-2.1-3.noarch.rpm", "1002", "3"},
      {"hello-2.1-3.noarch.rpm", "1004", "Greets the world"},  // the first of three
      {"hello-2.1-3.noarch.rpm", "1030", "-32275"},            // file mode 0x81ED as INT16
      {"hello-2.1-3.noarch.rpm", "1050", "3.0.4-1\n4.6.0-1\n4.0-1"},
      {"hello-2.1-3.noarch.rpm", "1117", "hello\nEMPTY\nREADME"},
      {"empty-meta-0.1-1.noarch.rpm", "1000", "empty-meta"},
      {"empty-meta-0.1-1.noarch.rpm", "1117", ""},
  };
  for (const auto& c : kCases) {
    const ToolRun run =
        RunTool(RPM_TOOL, {"-r", S(RPM_TEST_DATA) + "/" + c.file, "-a", "print", "-k", c.tag});
    EXPECT_EQ(run.out + "|" + run.err + "|" + std::to_string(run.status), S(c.want) + "||0")
        << c.tag;
  }
}

Lines g_syslog;  // "PRIORITY TEXT" of each record

}  // namespace

// Stands in for the C library's syslog, so that the real writer's records can be read back.
extern "C" __attribute__((format(printf, 2, 3))) void syslog(int priority, const char* fmt, ...) {
  char text[16384];
  va_list args;
  va_start(args, fmt);
  vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  g_syslog.push_back(std::to_string(priority) + " " + text);
}

namespace {

TEST(PlatformTest, WriteLogSendsUserRecordsAndKeepsErrno) {
  errno = ENOSPC;
  ZQ_WriteLog(4, 3, 1, 0, "rpm_parser/rpm.cpp", 42, "write value failed, %m.");
  EXPECT_EQ(errno, ENOSPC);
  ZQ_WriteLog(4, 6, 1, 0, "a.cpp", 7, "Load rpm '%s' failed.\n", S(4095, 'p').c_str());
  ZQ_WriteLog(4, 99, 1, 0, "b.cpp", 1, "%d%%", 5);  // no such severity: an error
  EXPECT_EQ(g_syslog,
            (Lines{"11 rpm_parser/rpm.cpp:42: write value failed, No space left on device.",
                   "14 a.cpp:7: Load rpm '" + S(4095, 'p') + "' failed.\n", "11 b.cpp:1: 5%"}));
}

}  // namespace
