#include "app/core/close_guard.h"

namespace orvelgate {

void CloseGuard::Reset(std::string accessCode) {
  accessCode_ = std::move(accessCode);
  withoutCode_ = false;
}

bool CloseGuard::MayClose() {
  if (withoutCode_) return true;
  switch (view_.AskAccessCode(accessCode_)) {
    case AccessAnswer::Accepted:
      return true;
    case AccessAnswer::Wrong:
      if (!ending_()) view_.ShowNotice(kWrongCodeText);
      return false;
    case AccessAnswer::Cancelled:
      break;
  }
  return false;
}

}  // namespace orvelgate
