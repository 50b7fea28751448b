// The page helper's restrictions on Linux: no new privileges, resource limits, seccomp.
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "page/helper_limits.h"
#include "page/sandbox.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELMOTH_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMOTH_SANITIZED 1
#endif
#endif

#ifdef VELMOTH_SANITIZED
#include <sanitizer/lsan_interface.h>
#endif

namespace velmoth {

namespace {

bool set_limit(int resource, rlim_t value) {
  const rlimit limit{value, value};
  return setrlimit(resource, &limit) == 0;
}

bool set_resource_limits() {
  using namespace page_helper;
  bool ok = set_limit(RLIMIT_CPU, kCpuSeconds) && set_limit(RLIMIT_CORE, 0) &&
            set_limit(RLIMIT_FSIZE, kMaxMarkupBytes);
#ifndef VELMOTH_SANITIZED
  // The address sanitizer reserves terabytes of address space for its shadow memory.
  ok = ok && set_limit(RLIMIT_AS, kAddressSpaceBytes);
#endif
  return ok;
}

int install_filter() {
#ifdef VELMOTH_SANITIZED
  // The sanitizers' runtime makes calls of its own: those fail rather than end the process.
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
#else
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
#endif
  if (!filter) return -ENOMEM;
  int result = 0;
  for (const int call :
       {SCMP_SYS(read), SCMP_SYS(write), SCMP_SYS(close), SCMP_SYS(exit), SCMP_SYS(exit_group),
        SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise), SCMP_SYS(futex),
        SCMP_SYS(rt_sigreturn), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction),
        SCMP_SYS(clock_gettime), SCMP_SYS(getrandom), SCMP_SYS(getpid), SCMP_SYS(gettid)}) {
    result = result ? result : seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
  }
#ifdef VELMOTH_SANITIZED
  // The runtime checks the signal stack it set up when the process ends.
  result = result ? result : seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(sigaltstack), 0);
#endif
  // Memory may be mapped, never as code.
  for (const int call : {SCMP_SYS(mmap), SCMP_SYS(mprotect)}) {
    result = result ? result
                    : seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1,
                                       SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
  }
  // abort() signals this process; no other may be signalled.
  result = result ? result
                  : seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1,
                                     SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(getpid())));
  // Code that looks for an optional file on first use is told no rather than ended.
  for (const int call : {SCMP_SYS(open), SCMP_SYS(openat)}) {
    result = result ? result : seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), call, 0);
  }
  if (!result) result = seccomp_load(filter);
  seccomp_release(filter);
  return result;
}

}  // namespace

void check_leaks_before_restriction() {
#ifdef VELMOTH_SANITIZED
  // The leak check at exit starts a thread, which the filter forbids; checking now also turns
  // the one at exit off.
  __lsan_do_leak_check();
#endif
}

const char *restrict_to_page_reading() {
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return "cannot forgo new privileges";
  if (!set_resource_limits()) return "cannot set the resource limits";
  if (install_filter() != 0) return "cannot install the system call filter";
  return nullptr;
}

}  // namespace velmoth
