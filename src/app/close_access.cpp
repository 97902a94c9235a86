#include "app/close_access.h"

#include "app/access_code_dialog.h"
#include "app/notice_box.h"

namespace orvelgate {

bool CloseCodeAccepted(const QString& accessCode) {
  switch (AskAccessCode(accessCode)) {
    case AccessResult::Accepted:
      return true;
    case AccessResult::Wrong:
      ShowNotice(QStringLiteral("Не правильный пароль."));
      return false;
    case AccessResult::Cancelled:
      break;
  }
  return false;
}

}  // namespace orvelgate
