#pragma once
// Drives the real window: chooses workbooks and a destination through its
// Browse buttons, and presses Run, answering the credentials dialog.

#include "FakeCommonDialog.h"
#include "main_window/frmMain.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <memory>

// Chooses `names` in `folder` and the destination, as the file dialogs would.
inline void ChooseThroughDialogs(frmMain& window, const QString& folder, const QStringList& names,
                                 const QString& destination)
{
    auto dialog = std::make_unique<FakeCommonDialog>();
    dialog->answers = {folder + QChar(0) + names.join(QChar(0)), destination};
    window.SetCommonDialog(std::move(dialog));
    window.cmdBrowseSrc_Click();
    window.cmdBrowseDest_Click();
}

// Presses Run once the event loop runs, and answers the credentials dialog as
// soon as it is up.
inline void PressRunAndLogIn(QWidget& window, const QString& userID, const QString& password)
{
    QTimer::singleShot(0, &window, [&window, userID, password] {
        QTimer::singleShot(0, [userID, password] {
            QWidget* login = QApplication::activeModalWidget();
            login->findChild<QLineEdit*>("txtUserID")->setText(userID);
            login->findChild<QLineEdit*>("txtPassword")->setText(password);
            login->findChild<QLineEdit*>("txtConfirmPassword")->setText(password);
            login->findChild<QPushButton*>("cmdOK")->click();
        });
        window.findChild<QPushButton*>("cmdRun")->click();
    });
}
