#pragma once
// Presses Run on the real window once its event loop runs, and answers the
// credentials dialog as soon as it is up.

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

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
