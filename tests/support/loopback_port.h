#pragma once
// Free ports on the loopback interface.

#include <cstdint>

namespace orvelgate::testing {

// A loopback TCP port with nothing listening on it (bound, then released), for a peer
// that must not be reached or that a test starts later.
uint16_t UnusedPort();

}  // namespace orvelgate::testing
