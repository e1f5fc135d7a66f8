// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Command line front end: prints the value of one header tag of a package.
#include <fcntl.h>
#include <getopt.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/personality.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/safe_str.h"
#include "platform/zq_log.h"
#include "rpm_parser/rpm_confine.h"
#include "rpm_parser/rpm_log.h"
#include "rpm_parser/rpm_parser.h"

namespace {

constexpr size_t kPathSize = 4096;
constexpr size_t kActionSize = 16;
// Long options only, with codes no short option can have: the short ones stay -r, -a and -k.
constexpr int kHelp = 0x100;
constexpr int kVersion = 0x101;

constexpr char kUsage[] =
    "Usage: rpm_parser -r PACKAGE -a print -k TAG\n"
    "Print the value of header tag TAG of the RPM package file PACKAGE on standard output,\n"
    "with no line feed added. Diagnostics go to the system log.\n"
    "\n"
    "  -r, --rpm_path=PACKAGE  the package file; /dev/stdin and named pipes too\n"
    "  -a, --action=print      the action; print is the only one\n"
    "  -k, --key=TAG           the tag number, in decimal (1000: the name)\n"
    "      --help              print this help and exit\n"
    "      --version           print the version and exit\n"
    "\n"
    "Exit status: 0 when the value was printed or the tag is absent, 255 on failure.\n"
    "Every option, tag, status and record: man rpm_parser\n";
constexpr char kVersionText[] = "rpm_parser " RPM_VERSION
                                "\nCopyright The rpm_parser authors.\n"
                                "Licensed under the Apache License, Version 2.0.\n";

// Left to process exit with its values, yet reachable, so leak checkers stay quiet; volatile, as
// an optimiser may drop a store that nothing reads back.
RpmParser* volatile g_parser = nullptr;

// Decimal as strtol reads it, held to the signed 32-bit range whatever the width of long.
int32_t ParseKey(const char* text) {
  return static_cast<int32_t>(
      std::clamp<long long>(strtoll(text, nullptr, 10), INT32_MIN, INT32_MAX));
}

// Opens /dev/null on each of descriptors 0 to 2 that the caller left closed, so that nothing the
// tool opens later (the package, the log's socket) takes one of them. Descriptor 1 is opened
// read-only: a value then has nowhere to go and its write fails, rather than going elsewhere.
void OpenStandardDescriptors() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    struct stat st;
    if (fstat(fd, &st) == 0 || errno != EBADF) continue;
    // The lower ones are open by now, so this is the descriptor open() gives. Kept to the end;
    // without /dev/null there is nothing better to put there.
    static_cast<void>(open("/dev/null", fd == STDERR_FILENO ? O_WRONLY : O_RDONLY));
  }
}

#ifndef SYS_close_range
#define SYS_close_range 436  // Linux 5.9, the same on x86-64 and ARM EABI; older headers lack it
#endif

// A parent whose stack is executable (no PT_GNU_STACK) hands 32-bit ARM processes the
// READ_IMPLIES_EXEC personality, which survives exec and makes every readable mapping executable,
// the package's bytes too. Cleared, then the tool runs itself anew, as what was mapped before
// stays executable. False, with the record, where that can't be done: the exec failed, or the
// kernel set the flag again on the tool's own exec (a processor without no-execute pages).
bool ShedReadImpliesExec(char** argv) {
  const int persona = personality(0xffffffff);
  if (persona == -1 || (persona & READ_IMPLIES_EXEC) == 0) return true;
  static constexpr char kSelf[] = "/proc/self/exe";
  // Already run anew by the code below, as the name it was run by tells (the kernel's auxiliary
  // vector holds its address as an integer): no exec sheds the flag.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  const auto* exec_fn = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (exec_fn != nullptr && strcmp(exec_fn, kSelf) == 0) {
    RPM_LOG_END("READ_IMPLIES_EXEC kept after exec.");
    return false;
  }
  const unsigned long cleared =
      static_cast<unsigned long>(persona) & ~static_cast<unsigned long>(READ_IMPLIES_EXEC);
  if (personality(cleared) != -1) execv(kSelf, argv);
  RPM_LOG_END("exec without READ_IMPLIES_EXEC failed, %m.");
  return false;
}

// Closes every descriptor above 2 but `keep` (-1 for none): what a caller leaks to its helpers, a
// database, a control socket, a key, must be out of reach of the confined run.
void CloseInherited(int keep) {
  constexpr int kFirst = STDERR_FILENO + 1;
  const int kept = std::max(keep, kFirst - 1);  // no range below it when it is the first
  if ((kept <= kFirst || syscall(SYS_close_range, kFirst, kept - 1, 0) == 0) &&
      syscall(SYS_close_range, kept + 1, ~0u, 0) == 0) {
    return;
  }
  // Kernels before 5.9: every descriptor up to the limit.
  for (long fd = kFirst, max = sysconf(_SC_OPEN_MAX); fd < max; ++fd) {
    if (fd != keep) close(static_cast<int>(fd));
  }
}

// Standard output as the value's way out: each piece written whole, waiting for room when it is
// non-blocking. A refusal leaves errno set. No signal has a handler, so no call is interrupted.
class StdoutSink final : public RpmTextSink {
 public:
  bool Put(const char* piece, size_t size) override {
    for (size_t done = 0; done < size;) {
      const ssize_t n = write(STDOUT_FILENO, piece + done, size - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      // A file that takes nothing and tells no error (some FUSE file systems, drivers) would be
      // tried for ever.
      if (n == 0) errno = EIO;
      pollfd out{STDOUT_FILENO, POLLOUT, 0};
      if (errno != EAGAIN || poll(&out, 1, -1) < 0) return false;
    }
    return true;
  }
};

// Under memory pressure the kernel ends this run before the service that started it, which
// needs no privilege; where the setting can't be written, the run goes on as it is.
void YieldToOomKiller() {
  const int fd = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (write(fd, "1000", 4) < 0) {
    // nothing to do: the score stays as it was
  }
  close(fd);
}

// A failed allocation inside the standard library ends the run with a record and the failure
// status instead of an abort.
void OutOfMemory() {
  RPM_LOG_END("alloc memory failed, %m.");
  RpmLogClose();
  exit(255);
}

#ifdef RPM_UNCONFINED
// A build for valgrind and the sanitizers, which need what confinement refuses; never installed.
constexpr void (*kOpened)() = nullptr;
#else
// Once the package is open, nothing else from outside is needed. A kernel or a launcher that
// refuses the filter leaves the run unconfined, as sshd goes on without one: it says so.
void Confine() {
  if (!RpmConfine()) RPM_LOG("install seccomp filter failed, %m.");
}
constexpr void (*kOpened)() = Confine;
#endif

// Everything but the summary of the records left out, which main adds on the way out.
int Run(int argc, char** argv) {
  // Everything the run needs from outside but the package, before anything is logged: once the
  // package is open the process confines itself and can open nothing more.
  OpenStandardDescriptors();
  ZQ_OpenLog();
  if (!ShedReadImpliesExec(argv)) return -1;
  CloseInherited(ZQ_LogDescriptor());
  YieldToOomKiller();
  // A reader that has gone or a file-size limit fail the write, with a record and status 255,
  // instead of killing the run.
  static_cast<void>(signal(SIGPIPE, SIG_IGN));
  static_cast<void>(signal(SIGXFSZ, SIG_IGN));
  std::set_new_handler(OutOfMemory);
#ifdef M_MMAP_THRESHOLD
  // A big copy freed gives its memory back, as glibc would otherwise raise its threshold to the
  // size of the copy and take the next ones from a heap that keeps what is freed.
  static_cast<void>(mallopt(M_MMAP_THRESHOLD, 128 << 10));
#endif
  static char rpm_path[kPathSize];
  char action[kActionSize] = {};
  int32_t key = -1;

  static const option kOptions[] = {
      {"rpm_path", required_argument, nullptr, 'r'}, {"action", required_argument, nullptr, 'a'},
      {"key", required_argument, nullptr, 'k'},      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},   {nullptr, 0, nullptr, 0},
  };
  // The leading '-' hands over the other words in place (as 1), so that options count wherever
  // they stand even when POSIXLY_CORRECT is set: the environment must not change the answer.
  int opt;
  while ((opt = getopt_long(argc, argv, "-r:a:k:", kOptions, nullptr)) != -1) {
    int rc = 0;
    switch (opt) {
      case 'r':
        rc = strcpy_s(rpm_path, sizeof rpm_path, optarg);
        break;
      case 'a':
        rc = strcpy_s(action, sizeof action, optarg);
        break;
      case 'k':
        key = ParseKey(optarg);
        break;
      case kHelp:  // as GNU tools do: the first of the two wins over everything else
      case kVersion: {
        const char* const text = opt == kHelp ? kUsage : kVersionText;
        StdoutSink out;
        if (out.Put(text, strlen(text))) return 0;
        RPM_LOG_END("write value failed, %m.");
        return -1;
      }
      default:  // another word, or an error getopt_long has reported on standard error
        break;
    }
    if (rc != 0) RPM_LOG("strcpy_s fail: '%d'", rc);
  }

  // The buffer holds its text and zeros to the end, so six bytes settle it, without a call.
  static constexpr char kPrint[] = "print";
  if (memcmp(action, kPrint, sizeof kPrint) != 0) {
    RPM_LOG_END("Invalid action: '%s'", action);
    return -1;
  }
  // The machine's RAM and its cgroup's limits are read before the package is opened, as nothing
  // can be asked once confined.
  RpmParser* const parser = new (std::nothrow) RpmParser(RpmLimits::ForMachine());
  g_parser = parser;
  // A reader short of memory fails the load too: a value read from part of a package must not
  // pass for the package's.
  if (parser == nullptr || !parser->Load(rpm_path, kOpened)) {
    RPM_LOG_END("Load rpm '%s' failed.", rpm_path);
    return -1;
  }
  // The caller parses what we print: a value cut short must not pass for a success.
  StdoutSink out;
  if (!parser->WriteValue(key, &out)) {
    RPM_LOG_END("write value failed, %m.");
    return -1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int status = Run(argc, argv);
  RpmLogClose();
  return status;
}
