// Apart from pty.cpp: termios2 (any speed, not only the classic constants) comes from
// the kernel's header, which does not mix with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "support/pty.h"

namespace orvelgate::testing {

uint32_t Pty::SlaveSpeed() const {
  termios2 line{};
  if (ioctl(slave_, TCGETS2, &line) != 0) return 0;
  return line.c_ospeed;
}

}  // namespace orvelgate::testing
