#pragma once
// The pictures stored with the main window, drawn in code so that they stay sharp:
// the program's icon, the two toolbar pictures and the title strip's picture.

#include <QPixmap>

namespace orvelgate {

// The program's icon (window and tray): 32 x 32.
QPixmap ProgramIcon();
// The "Состояние" toolbar picture, a small list: 60 x 43.
QPixmap StatusPagePicture();
// The "Настройки" toolbar picture, a small window: 60 x 43.
QPixmap SetupPagePicture();
// The picture of the title strip's button: 47 x 41 (inside its 55 x 49 button).
QPixmap TitleStripPicture();

}  // namespace orvelgate
