/* Swaps two names of one file system over and over, atomically
 * (renameat2 with RENAME_EXCHANGE), until SIGTERM or SIGINT; then it leaves
 * both names as they were at the start. The race test swaps a folder of the
 * machine folder's layout with a symbolic link pointing out of it while runs
 * of the program go on.
 *
 *   saverset_link_swapper <first> <second>
 *
 * Writes one line "ready" on standard output once the first swap is done, and
 * exits 0 after a clean stop, 1 when a swap fails. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static volatile sig_atomic_t stopping = 0;

static void Stop(int signal_number) {
  (void)signal_number;
  stopping = 1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <first> <second>\n", argv[0]);
    return 2;
  }
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = Stop;
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);

  unsigned long swaps = 0;
  while (!stopping || swaps % 2 != 0) {
    if (renameat2(AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) != 0) {
      perror("renameat2");
      return 1;
    }
    if (++swaps == 1) {
      puts("ready");
      fflush(stdout);
    }
  }
  return 0;
}
