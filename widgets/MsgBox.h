#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace gui {

// A message box by code: 48 exclamation with OK, 33 question with OK and
// Cancel, 64 information with OK. Returns 1 for OK, 2 for Cancel (also Esc
// and the close box).
int MsgBox(QWidget* owner, const QString& prompt, int buttons, const QString& title);

// The real box, whatever handler is set.
int ShowMsgBox(QWidget* owner, const QString& prompt, int buttons, const QString& title);

// Tests answer message boxes through a handler instead of real boxes. An empty
// handler brings the real boxes back.
using MsgBoxHandler = std::function<int(QWidget* owner, const QString& prompt, int buttons, const QString& title)>;
void SetMsgBoxHandler(MsgBoxHandler handler);

}  // namespace gui
