// The Main window's controls: where each stands, what it reads and how it is made. Only the
// window itself (main_window.cpp) uses this.
#pragma once

#include <QFont>
#include <QIcon>
#include <QString>

#include "ui/main_window.h"

class QStyle;

namespace wendrix::detail {

enum class Kind { kLabel, kField, kButton, kCheckBox, kFrame };

// Makes control gadget, a child of window, with its text, tooltip, font and colours; the window's
// initial values are set apart. Its use is posted through PostGadgetEvent.
QWidget* CreateControl(Gadget gadget, QWidget* window);
Kind ControlKind(Gadget gadget);

// Implemented by the window: queues the event of a control's use.
void PostGadgetEvent(int gadget);

// The font of every control but the banner and "Start !".
QFont ControlFont(const QStyle* style);
QIcon ApplicationIcon();

// Buttons, check boxes and frame titles read "&" as a mnemonic mark; doubling shows it as is.
QString EscapeMnemonic(QString text);
QString UnescapeMnemonic(QString text);

}  // namespace wendrix::detail
