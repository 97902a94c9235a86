#pragma once
// How the parts after the journaling stage say that an event is safe elsewhere (in a
// spool file, answered by its server, or dropped as configured): its entry in the event
// journal can go. The journaling stage implements it; any thread.

#include <cstdint>

namespace orvelgate {

class JournalRetirement {
 public:
  virtual ~JournalRetirement() = default;
  virtual void Retire(uint64_t journalId) = 0;
};

}  // namespace orvelgate
