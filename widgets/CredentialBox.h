#pragma once

#include <QString>

class QLabel;
class QLineEdit;
class QWidget;

// Boxes for a user ID or a password, as the credentials dialog and the
// recipient's window take them.
namespace gui {

// What a box says of characters it cannot take (a paste, a text set by other
// means): only Thai and English letters.
extern const QString NotThaiMessage;

// A note like a tool tip, shown under a box for a moment: what a box refused.
QLabel* NoteBeside(QWidget* dialog);

// Makes `box` take only what can be stored: at most 12 characters of the Thai
// code page, no control characters, so nothing is ever cut or stored as '?'.
// A 13th typed character does not appear, and `note` says why under the box
// (in a password box nothing else would show it); a paste that does not fit is
// refused whole, and a message box titled `title` tells why.
void TakeOnlyCredentials(QLineEdit* box, QWidget* dialog, QLabel* note, const QString& title);

}  // namespace gui
