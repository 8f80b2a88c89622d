// SPDX-License-Identifier: MIT
/* Runs a command the way systemd's RestrictSUIDSGID= (which every
 * DynamicUser= service has) runs it: mkdir, mkdirat, chmod, fchmod and
 * fchmodat that ask for the set-user-ID or set-group-ID bit fail with
 * EPERM, whether or not the file is there.
 *
 *   no_setgid COMMAND [ARG...]
 */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#define ARG(n) offsetof(struct seccomp_data, args[n])
/* The system call `call` with its mode in argument `arg`: refused when
 * the mode asks for S_ISUID or S_ISGID. */
#define REFUSE_SETID(call, arg)                                     \
  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (call), 0, 3),                \
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ARG(arg)),                 \
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, S_ISUID | S_ISGID, 0, 1), \
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),         \
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr))

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: no_setgid COMMAND [ARG...]\n");
    return 2;
  }
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      REFUSE_SETID(__NR_mkdir, 1),
      REFUSE_SETID(__NR_mkdirat, 2),
      REFUSE_SETID(__NR_chmod, 1),
      REFUSE_SETID(__NR_fchmod, 1),
      REFUSE_SETID(__NR_fchmodat, 2),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    perror("no_setgid: seccomp");
    return 2;
  }
  execvp(argv[1], argv + 1);
  perror(argv[1]);
  return 127;
}
