#include "app/core/access_code.h"

namespace orvelgate {

std::string DrawAccessCode(RandomSource& random) {
  const int span = kAccessCodeHighest - kAccessCodeLowest + 1;  // 0 .. 89998 drawn
  return std::to_string(kAccessCodeLowest + random.Below(span));
}

}  // namespace orvelgate
