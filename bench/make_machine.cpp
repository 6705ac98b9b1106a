// saverset_bench_machine FOLDER SIZE: makes FOLDER a machine folder whose
// registry file and system.ini have SIZE bytes (a suffix K or M multiplies by
// 1024 or 1048576), for the whole-process comparison.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/machine_content.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s FOLDER SIZE[K|M]\n", argv[0]);
    return 2;
  }
  char* end = nullptr;
  size_t size = std::strtoull(argv[2], &end, 10);
  if (*end == 'K') size *= 1024, ++end;
  if (*end == 'M') size *= 1024 * 1024, ++end;
  if (end == argv[2] || *end != '\0') {
    std::fprintf(stderr, "%s: bad size %s\n", argv[0], argv[2]);
    return 2;
  }
  return saverset::bench::PrepareMachineFolder(argv[1], size) ? 0 : 1;
}
