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
// Only characters of the Thai code page can be typed or pasted into the boxes.
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
    bool m_placed = false;
};
