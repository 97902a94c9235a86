#include "app/core/driver_status.h"

#include <chrono>

namespace orvelgate {

int64_t WallNowNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace orvelgate
