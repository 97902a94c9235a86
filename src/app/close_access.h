#pragma once
// The operator's part of closing the program: the access code is asked; a wrong code
// is told with "Не правильный пароль."; a cancelled dialog closes nothing.

#include <QString>

namespace orvelgate {

// True when the operator typed `accessCode`; uses the dialogs created at start-up.
bool CloseCodeAccepted(const QString& accessCode);

}  // namespace orvelgate
