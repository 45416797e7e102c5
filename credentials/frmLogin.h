#pragma once

#include <QDialog>

#include <memory>

class QLineEdit;
namespace Ui {
class frmLogin;
}

// Asks for a user ID and a password typed twice, checks their form only, and
// on acceptance leaves them, trimmed and upper-cased, in var::LoginUserID and
// var::LoginPassword with var::LoginAccepted set. The instance lives on between
// runs and keeps the user ID; the close box hides it without any handler and
// the next showing starts with an empty user ID.
//
// Each showing is centred on the main window's screen, with the cursor in the
// first box still empty. Only text that can be stored goes into the boxes: at
// most 12 characters of the Thai code page, no control characters; a paste
// that does not fit is refused with a message, never cut.
class frmLogin : public QDialog {
    Q_OBJECT
public:
    explicit frmLogin(QWidget* owner);
    ~frmLogin() override;

public slots:
    void reject() override;  // Esc: as Cancel

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private slots:
    void cmdOK_Click();
    void cmdCancel_Click();

private:
    void Form_Activate();
    void Refuse(const QString& message, QLineEdit* field);

    std::unique_ptr<Ui::frmLogin> ui;
};
