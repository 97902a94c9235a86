// orvelgate: the station driver. It takes no arguments for its normal work.
#include <cstdio>
#include <cstring>

#include "common/version.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("orvelgate %s\n", ORVELGATE_VERSION);
    return 0;
  }
  std::printf("orvelgate %s\n", ORVELGATE_VERSION);
  return 0;
}
