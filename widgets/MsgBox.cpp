#include "MsgBox.h"

#include "base/MessageBox.h"

#include <QMessageBox>

namespace gui {
namespace {
MsgBoxHandler& Handler()
{
    static MsgBoxHandler handler;
    return handler;
}
}  // namespace

int MsgBox(QWidget* owner, const QString& prompt, int buttons, const QString& title)
{
    if (Handler())
        return Handler()(owner, prompt, buttons, title);
    return ShowMsgBox(owner, prompt, buttons, title);
}

int ShowMsgBox(QWidget* owner, const QString& prompt, int buttons, const QString& title)
{
    QMessageBox box(owner);
    box.setWindowTitle(title);
    box.setText(prompt);
    switch (buttons) {
    case msgbox::vbQuestionOKCancel:
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setEscapeButton(QMessageBox::Cancel);
        break;
    case msgbox::vbQuestionYesNo:
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? msgbox::vbYes : msgbox::vbNo;
    case msgbox::vbInformation:
        box.setIcon(QMessageBox::Information);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    default:
        box.setIcon(QMessageBox::Warning);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    }
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok ? msgbox::vbOK : msgbox::vbCancel;
}

void SetMsgBoxHandler(MsgBoxHandler handler)
{
    Handler() = std::move(handler);
}

}  // namespace gui
