#include "support/scripted_random.h"

namespace orvelgate {

int ScriptedRandom::Below(int bound) {
  if (values_.empty() || bound <= 0) return 0;
  const int v = values_[next_ % values_.size()];
  ++next_;
  return ((v % bound) + bound) % bound;
}

}  // namespace orvelgate
