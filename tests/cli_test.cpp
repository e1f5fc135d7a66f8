// The executable end to end: options, standard output byte for byte, exit status and log
// records, hostile files under a memory limit; and the platform layer: the log writer and the
// bounded copy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <regex>
#include <vector>

#include "platform/safe_str.h"
#include "platform/zq_log.h"
#include "rpm_parser/rpm_log.h"
#include "tests/test_util.h"

// Runs the shell text `cmd`, in which `t` runs the test build of the tool, whose log records go
// to descriptor 3: "LOGS" then "STDOUT#STATUS".
static S Shell(const S& cmd) {
  const S tool = "exec 3>&1; t() { " RPM_TOOL_EMULATOR " " RPM_TOOL_LOGFD " \"$@\"; }; ";
  FILE* p = popen((tool + cmd).c_str(), "r");
  char out[1 << 16];
  const S text(out, fread(out, 1, sizeof out, p));
  return text + "#" + std::to_string(WEXITSTATUS(pclose(p)));
}

TEST(CliTest, OptionsStatusesLogsAndHostileFiles) {
  const TempFile pkg(kLead + Section(E(-1, 4, 0, 1) + E(INT32_MAX, 4, 4, 1) + E(INT32_MIN, 4, 8, 1),
                                     BE32(11) + BE32(12) + BE32(13) + BE32(0))),  // no fill
      huge(kLead + Preamble(65535, 256 << 20)),  // the ceilings: 1 MiB of index, 256 MiB of store
      big(kLead + Section(E(9, 4, 0, 1), BE32(9)) + Preamble(0, 3u << 30)),
      short_file(kLead + Preamble(0, 200 << 20)),
      long_value(kLead + Section(E(1, 6, 0, 1), S(300000, 'v') + '\0'));
  const S r = "t -r " + pkg.path + " ", path(4095, 'p');
  const std::pair<S, S> cases[] = {
      // Every form, options after other words whatever the environment, the last one winning.
      {"export POSIXLY_CORRECT=1; t word --rpm=" + pkg.path +
           " -a Printer --act=print --k=9 --key ' +2147483648x'",
       kEnd + "12#0"},  // held to 32 bits
      // Text from the command line can't split a record nor reach a terminal raw.
      {r + "-a \"$(printf 'pr\\033[2J\\r\\177\\037int')\"",
       "|Invalid action: 'pr#033[2J#015#177#037int'#255"},
      {"t -a print -r \"$(printf '/no\\nDec  7 13:00:00 host sshd[1]: Accepted')\"",
       "|Open rpm file fail!\n|Load rpm '/no#012Dec  7 13:00:00 host sshd[1]: Accepted' "
       "failed.#255"},
      // A reader that has gone, a file-size limit: a record and the failure status, no signal.
      // No key: tag -1.
      {"f=$(mktemp -u) && mkfifo $f && exec 5<>$f 6>$f 5<&- && rm $f && " + r + "-a print >&6",
       kEnd + "|write value failed, Broken pipe.#255"},
      {"f=$(mktemp) && trap 'rm $f' EXIT && ulimit -f 0 && " + r + "-a print >$f",
       kEnd + "|write value failed, File too large.#255"},
      // A non-blocking standard output read late still takes the whole value.
      {"perl -MFcntl -e 'fcntl(STDOUT, F_SETFL, O_NONBLOCK) and exec @ARGV' " RPM_TOOL_EMULATOR
       " " RPM_TOOL_LOGFD " -a print -k 1a -r " +
           long_value.path + " | (sleep 0.3; wc -c)",
       kEnd + "300000\n#0"},
      {r + "-a printprintprintp -a printprintprint",  // 16 bytes don't fit, 15 do; not read
       "|strcpy_s fail: '34'|Invalid action: 'printprintprint'#255"},
      {"t -a print -r " + path + " -r p" + path,  // a path that doesn't fit leaves none
       "|strcpy_s fail: '34'|Open rpm file fail!\n|Load rpm '' failed.#255"},
      // Claims that the files do not back, under an address-space limit; tag 9 absent: nothing.
      {RPM_MEMORY_LIMIT "t -a print -k 9 -r " + huge.path, "|read nb failed.#0"},
      {RPM_MEMORY_LIMIT "cat " + huge.path + " | t -a print -k 9 -r /dev/stdin",
       "|read nb failed.#0"},  // a pipe's block grows as bytes arrive
      {"truncate -s 150M " + short_file.path + " && " RPM_MEMORY_LIMIT "t -r " + short_file.path +
           " -a print",  // a file shorter than its claim is refused before its block is made
       "|read nb failed.#0"},
      {"truncate -s 3G " + big.path + " && " RPM_MEMORY_LIMIT "t -a print -k 9 -r " + big.path,
       "|dl 3221225472 over limit 268435456.9#0"},  // sparse, and over 2 GiB
      // Closed standard descriptors are not taken by what the tool opens, here the log's
      // descriptor at the first record: the value and the option parser's complaint go nowhere,
      // and the package named by /dev/stdin is empty.
      {r + "-a printprintprintprint --bogus -a print >&- 2>&-",  // a record before the package
       "|strcpy_s fail: '34'" + kEnd + "|write value failed, Bad file descriptor.#255"},
      {"t -a print -r /dev/stdin <&-",
       "|read rpm lead info failed, No data available.|Load rpm '/dev/stdin' failed.#255"},
  };
  for (const auto& [cmd, want] : cases) EXPECT_EQ(Shell(cmd), want) << cmd;

  // Natively only, where the sanitizers' allocator and the emulator don't need the address
  // space: memory that runs short is no success. A failed allocation in the standard library,
  // here the copy of a 48 MiB string, ends the run with its record, counted in the summary after
  // 1,000 others; a pipe's block grows as its bytes arrive, until it can't; a file's block is
  // made at once.
  if (S(RPM_MEMORY_LIMIT).rfind("ulimit", 0) == 0) {
    const TempFile late(kLead + Section(Repeat(E(1, 7, 0, 1), 1000), "x") + Preamble(1, 48 << 20) +
                        E(1000, 6, 0, 1));
    EXPECT_EQ(Shell(RPM_MEMORY_LIMIT "(cat " + late.path +
                    "; head -c 50331647 /dev/zero | tr '\\0' x; printf '\\0') | t -a print -k "
                    "1000 -r /dev/stdin"),
              Repeat("|create RpmVal failed.", 1000) +
                  "|records over the limit of 1000 left out: 1.#255");
    EXPECT_EQ(Shell("truncate -s 150M " + short_file.path + " && " RPM_MEMORY_LIMIT "cat " +
                    short_file.path + " | t -a print -r /dev/stdin"),
              "|alloc ei failed, Cannot allocate memory.|Load rpm '/dev/stdin' failed.#255");
    EXPECT_EQ(Shell("truncate -s 300M " + huge.path + " && " RPM_MEMORY_LIMIT "t -a print -r " +
                    huge.path),
              "|alloc ei failed, Cannot allocate memory.|Load rpm '" + huge.path + "' failed.#255");
  }
}

// The real tool's records reach the system log as "<PRI>TIMESTAMP rpm_parser[PID]: FILE:LINE:
// MESSAGE", user facility, error severity, on a /dev/log of a mount namespace of its own. A
// logger that stops reading holds no run up: each waits a moment, then drops its records. One
// that reads again gets every record of the next run.
TEST(CliTest, RecordsReachTheSystemLogButNeverHoldUpTheRun) {
  const TempFile bins(kLead + Section(Repeat(E(1, 7, 0, 1), 1001), "x"));  // 1,002 records
  const S run = RPM_TOOL_EMULATOR " " RPM_TOOL " -a print -r " + bins.path;
  const pid_t child = fork();
  if (child == 0) {
    sockaddr_un log{AF_UNIX, "/dev/log"};
    const int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
    const timeval patience{5, 0};  // a record that never comes fails the test, not hangs it
    if (unshare(CLONE_NEWNS) != 0 || mount("", "/", "", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("", "/dev", "tmpfs", 0, nullptr) != 0 ||
        bind(sock, reinterpret_cast<sockaddr*>(&log), sizeof log) != 0 ||
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience) != 0) {
      _exit(2);  // no privilege for a namespace here
    }
    // Twice, unread: the second run finds the queue full from its start.
    if (system(("timeout 10 " + run + " && timeout 10 " + run).c_str()) != 0) _exit(3);
    char record[512];
    while (recv(sock, record, sizeof record, MSG_DONTWAIT) > 0) continue;
    const pid_t tool = fork();
    if (tool == 0) _exit(execl("/bin/sh", "sh", "-c", ("exec " + run).c_str(), nullptr));
    std::vector<S> got;  // up to the summary that ends the run
    for (ssize_t n; (got.empty() || got.back().find("left out: 2.") == S::npos) &&
                    (n = recv(sock, record, sizeof record, 0)) > 0;)
      got.emplace_back(record, size_t(n));
    const S form = "<11>[A-Z][a-z]{2} [ 1-3][0-9] [0-9:]{8} rpm_parser\\[" + std::to_string(tool) +
                   "\\]: rpm_parser/rpm_parser\\.cpp:[0-9]+: create RpmVal failed\\.";
    _exit(got.size() != 1001 || !std::regex_match(got[0], std::regex(form)));
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << "no mount namespace";
  EXPECT_EQ(status, 0);
}

// The log writer, the records' file field whatever prefix map the build used, and the bounded
// copy: on a refusal the destination, when it has room, is left empty.
TEST(PlatformTest, WriteLogAndBoundedCopy) {
  // A record is cut at 8 KiB; errno is as the caller left it, whatever the way out did.
  errno = ENOSPC;
  ZQ_WriteLog(4, 0, 1, 0, "a.cpp", 1, "%m '%s'", S(9000, 'p').c_str());
  ZQ_WriteLog(4, 7, 1, 0, nullptr, 1, "%d%%\n", errno);
  EXPECT_EQ(g_logs, "|0 No space left on device '" + S(8157, 'p') + "|7 28%\n");
  for (const char* file : {"/src/rpm_parser/rpm.cpp", "./rpm_parser/rpm.cpp", "rpm_parser/rpm.cpp"})
    EXPECT_STREQ(RpmLogFile(file), "rpm_parser/rpm.cpp");
  // Refusals the command line can't reach: without room the destination is left as it was.
  char dest[3] = "XX";
  EXPECT_EQ(strcpy_s(dest, 0, "ab") + strcpy_s(nullptr, 3, "ab"), 2 * EINVAL);
  EXPECT_STREQ(dest, "XX");
  EXPECT_EQ(strcpy_s(dest, 3, nullptr), EINVAL);
  EXPECT_STREQ(dest, "");
}
