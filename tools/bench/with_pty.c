// SPDX-License-Identifier: MIT
/* Opens a pseudo-terminal, keeps its master open, and runs a command with
 * the terminal's path in the environment variable RELKA_BENCH_LINE.
 *
 *   with_pty COMMAND [ARG...]
 */
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: with_pty COMMAND [ARG...]\n");
    return 2;
  }
  int master = -1, slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, NULL, NULL) != 0) {
    perror("openpty");
    return 2;
  }
  close(slave); /* the master keeps the terminal alive */
  setenv("RELKA_BENCH_LINE", name, 1);
  pid_t child = fork();
  if (child == 0) {
    close(master);
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) < 0) return 2;
  close(master);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
