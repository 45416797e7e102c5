#include "frmLogin.h"

#include "Credentials.h"

#include "ui_frmLogin.h"
#include "var.h"
#include "base/MessageBox.h"
#include "base/text.h"
#include "widgets/CredentialBox.h"
#include "widgets/MsgBox.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QScreen>
#include <QTimer>
#include <QLabel>
#include <QValidator>

namespace {
const QString LoginTitle = QStringLiteral("Login");
const QString IncompleteMessage = QStringLiteral("กรุณาใส่ข้อมูลให้ครบถ้วน!");
const QString TooShortMessage = QStringLiteral("รหัสผ่านต้องมีความยาวอย่างน้อย 3 หลัก, กรุณาลองใหม่อีกครั้ง!");
const QString MismatchMessage = QStringLiteral("การยืนยันรหัสผ่านผิดพลาด, กรุณาลองใหม่อีกครั้ง!");
}  // namespace

frmLogin::frmLogin(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                         Qt::MSWindowsFixedSizeDialogHint),
      ui(std::make_unique<Ui::frmLogin>())
{
    ui->setupUi(this);
    setFixedSize(size());
    setModal(true);
    QLabel* note = gui::NoteBeside(this);
    for (QLineEdit* box : {ui->txtUserID, ui->txtPassword, ui->txtConfirmPassword})
        gui::TakeOnlyCredentials(box, this, note, LoginTitle);
    connect(this, &QDialog::finished, note, &QWidget::hide);
    // Passwords show a "*" for each character, whatever the platform's habit.
    for (QLineEdit* box : {ui->txtPassword, ui->txtConfirmPassword})
        box->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    connect(ui->cmdOK, &QPushButton::clicked, this, &frmLogin::cmdOK_Click);
    connect(ui->cmdCancel, &QPushButton::clicked, this, &frmLogin::cmdCancel_Click);
}

frmLogin::~frmLogin() = default;

void frmLogin::showEvent(QShowEvent* event)
{
    // Centred on the screen of the main window, every time.
    const QWidget* owner = parentWidget();
    if (const QScreen* screen = owner ? owner->screen() : this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
    Form_Activate();
    // The cursor in the first box still to be filled.
    for (QLineEdit* box : {ui->txtUserID, ui->txtPassword, ui->txtConfirmPassword}) {
        if (box->text().trimmed().isEmpty()) {
            box->setFocus(Qt::OtherFocusReason);
            break;
        }
    }
}

void frmLogin::Form_Activate()
{
    ui->txtPassword->clear();
    ui->txtConfirmPassword->clear();
}

void frmLogin::cmdOK_Click()
{
    credentials::Stored stored;
    switch (credentials::Check(ui->txtUserID->text(), ui->txtPassword->text(), ui->txtConfirmPassword->text(), stored)) {
    case err::Reason::UserIDEmpty:
    case err::Reason::PasswordEmpty:
    case err::Reason::ConfirmationEmpty: return Refuse(IncompleteMessage, ui->txtUserID);
    case err::Reason::PasswordTooShort: return Refuse(TooShortMessage, ui->txtPassword);
    case err::Reason::PasswordsDiffer: return Refuse(MismatchMessage, ui->txtConfirmPassword);
    // The boxes only take such text; a text set by other means is checked here.
    case err::Reason::UserIDNotStorable: return Refuse(gui::NotThaiMessage, ui->txtUserID);
    case err::Reason::PasswordNotStorable: return Refuse(gui::NotThaiMessage, ui->txtPassword);
    default: break;
    }
    var::LoginAccepted = true;
    var::LoginUserID = stored.userID;
    var::LoginPassword = stored.password;
    done(QDialog::Accepted);
}

void frmLogin::cmdCancel_Click()
{
    var::LoginAccepted = false;
    done(QDialog::Rejected);
}

void frmLogin::reject()
{
    cmdCancel_Click();
}

void frmLogin::closeEvent(QCloseEvent* event)
{
    // The close box runs no handler and leaves the credentials as they are; the
    // form is gone, so the next showing starts with an empty user ID.
    ui->txtUserID->clear();
    done(QDialog::Rejected);
    event->accept();
}

void frmLogin::Refuse(const QString& message, QLineEdit* field)
{
    gui::MsgBox(this, message, msgbox::vbExclamation, LoginTitle);
    var::LoginAccepted = false;
    field->setFocus(Qt::OtherFocusReason);
    field->selectAll();  // the next typing replaces the whole text
}
