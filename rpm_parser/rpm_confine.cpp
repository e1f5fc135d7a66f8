// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// The process confines itself with a seccomp filter: a list of the calls a run makes once its
// package is open, each allowed with the arguments it needs, and ENOSYS for everything else, so
// that a C library that tries a newer call first falls back to an older one instead of failing.
#include "rpm_parser/rpm_confine.h"

#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

// The architecture whose numbering the filter knows: the device's, and the build machine's. A
// call made through another numbering (i386 calls from x86-64 code, say) is killed.
#if defined(__x86_64__) && !defined(__ILP32__)
#define RPM_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__arm__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define RPM_AUDIT_ARCH AUDIT_ARCH_ARM
#endif

#ifdef RPM_AUDIT_ARCH
namespace {

constexpr uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr uint32_t kRefuse = SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA);

// Where the filter finds a call's number, its architecture, and the two halves of an argument
// (both architectures are little-endian). The kernel reads int arguments from the low half
// alone, so that is all a test of one needs; a pointer takes both.
constexpr uint32_t kNr = offsetof(seccomp_data, nr);
constexpr uint32_t kArch = offsetof(seccomp_data, arch);
constexpr uint32_t ArgLow(uint32_t i) {
  return static_cast<uint32_t>(offsetof(seccomp_data, args)) + 8 * i;
}
constexpr uint32_t ArgHigh(uint32_t i) { return ArgLow(i) + 4; }

// Calls allowed whatever their arguments, none of which names a path: reading the package,
// writing the value and the records, asking a descriptor held what it is, memory (mapped and
// protected only without execution, below), the records' stamps and process id, and exiting.
// The calls that look a path up (the stat family with a path, access, readlink) are refused even
// where the C library makes them for a descriptor: what the run must know of its descriptors it
// learns before the filter.
// clang-format off
constexpr uint32_t kPlain[] = {
    SYS_read, SYS_write, SYS_readv, SYS_writev, SYS_lseek, SYS_fstat, SYS_close,
    SYS_brk, SYS_munmap, SYS_mremap, SYS_madvise, SYS_clock_gettime, SYS_gettimeofday,
    SYS_getpid, SYS_gettid, SYS_futex, SYS_ppoll, SYS_rt_sigprocmask, SYS_rt_sigreturn,
    SYS_restart_syscall, SYS_exit, SYS_exit_group, SYS_poll,
#ifdef __arm__
    SYS_fstat64, SYS__llseek, SYS_clock_gettime64, SYS_ppoll_time64, SYS_futex_time64,
    SYS_sigreturn,
    SYS_send,  // on the log's socket, connected before: no address to give
#else
    SYS_time,
#endif
};
// clang-format on

class Filter {
 public:
  // Allows call `nr` whatever its arguments.
  void Allow(uint32_t nr) {
    Op(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 1);
    Op(BPF_RET | BPF_K, kAllow);
  }
  // Allows call `nr` when its argument at `arg` passes `test` (BPF_JEQ, or BPF_JSET) against `k`
  // with the result `pass`; refuses it otherwise.
  void AllowWhen(uint32_t nr, uint32_t arg, uint16_t test, uint32_t k, bool pass) {
    Op(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 4);
    Op(BPF_LD | BPF_W | BPF_ABS, arg);
    Op(BPF_JMP | test | BPF_K, k, pass ? 1 : 0, pass ? 0 : 1);
    Op(BPF_RET | BPF_K, kRefuse);
    Op(BPF_RET | BPF_K, kAllow);
  }
  // Allows call `nr` when argument `i`, a pointer, is null.
  void AllowWhenNull(uint32_t nr, uint32_t i) {
    Op(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 6);
    Op(BPF_LD | BPF_W | BPF_ABS, ArgLow(i));
    Op(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 2);
    Op(BPF_LD | BPF_W | BPF_ABS, ArgHigh(i));
    Op(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0);
    Op(BPF_RET | BPF_K, kRefuse);
    Op(BPF_RET | BPF_K, kAllow);
  }
  void Op(uint16_t code, uint32_t k, uint8_t jt = 0, uint8_t jf = 0) {
    code_.push_back({code, jt, jf, k});
  }
  bool Install() {
    const sock_fprog program{static_cast<unsigned short>(code_.size()), code_.data()};
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
  }

 private:
  std::vector<sock_filter> code_;
};

}  // namespace
#endif

bool RpmConfine() {
#ifdef RPM_AUDIT_ARCH
  // Lets an unprivileged process install the filter, and no program could gain privileges anyway.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  Filter f;
  // The kernel tries every call number through a new filter, to let those it always allows
  // skip it later; that trial of a filter this long takes several times longer than all the calls
  // of a run through it do. Loading an argument ends the trial at once.
  f.Op(BPF_LD | BPF_W | BPF_ABS, ArgLow(0));
  f.Op(BPF_LD | BPF_W | BPF_ABS, kArch);
  f.Op(BPF_JMP | BPF_JEQ | BPF_K, RPM_AUDIT_ARCH, 1, 0);
  f.Op(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
  f.Op(BPF_LD | BPF_W | BPF_ABS, kNr);
#ifdef __x86_64__
  // The x32 calls share the architecture's tag; none is ours.
  f.Op(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 0, 1);
  f.Op(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
#endif
  for (const uint32_t nr : kPlain) f.Allow(nr);
  // A datagram sent elsewhere than the log's address would reach another program's socket.
  f.AllowWhenNull(SYS_sendto, 4);
#ifdef __arm__
  f.AllowWhen(SYS_mmap2, ArgLow(2), BPF_JSET, PROT_EXEC, false);
#else
  f.AllowWhen(SYS_mmap, ArgLow(2), BPF_JSET, PROT_EXEC, false);
#endif
  f.AllowWhen(SYS_mprotect, ArgLow(2), BPF_JSET, PROT_EXEC, false);
  // Whether a descriptor is a terminal, as stdio asks; never TIOCSTI.
  f.AllowWhen(SYS_ioctl, ArgLow(1), BPF_JEQ, TCGETS, true);
  // abort() signals its own process, and nothing else can be signalled.
  f.AllowWhen(SYS_tgkill, ArgLow(0), BPF_JEQ, static_cast<uint32_t>(getpid()), true);
  f.Op(BPF_RET | BPF_K, kRefuse);
  return f.Install();
#else
  errno = ENOSYS;
  return false;
#endif
}
