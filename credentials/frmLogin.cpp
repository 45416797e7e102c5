#include "frmLogin.h"

#include "credentials/var.h"
#include "main_window/MsgBox.h"
#include "packing/PackRun.h"
#include "packing/text.h"
#include "ui_frmLogin.h"

#include <QCloseEvent>
#include <QScreen>
#include <QValidator>

namespace {
const QString LoginTitle = QStringLiteral("Login");
const QString IncompleteMessage = QStringLiteral("กรุณาใส่ข้อมูลให้ครบถ้วน!");
const QString TooShortMessage = QStringLiteral("รหัสผ่านต้องมีความยาวอย่างน้อย 3 หลัก, กรุณาลองใหม่อีกครั้ง!");
const QString MismatchMessage = QStringLiteral("การยืนยันรหัสผ่านผิดพลาด, กรุณาลองใหม่อีกครั้ง!");
const QString NotThaiMessage =
    QStringLiteral("มีตัวอักษรที่ใช้ไม่ได้ กรุณาใช้เฉพาะตัวอักษรภาษาไทยหรือภาษาอังกฤษ!");
constexpr int MinimumPasswordLength = 3;

// Accepts only texts whose every character has a Windows-874 byte, so nothing
// can ever be stored as '?'.
class AnsiValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override { return text::IsAnsi(input) ? Acceptable : Invalid; }
};
}  // namespace

frmLogin::frmLogin(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                         Qt::MSWindowsFixedSizeDialogHint),
      ui(std::make_unique<Ui::frmLogin>())
{
    ui->setupUi(this);
    setFixedSize(size());
    setModal(true);
    auto* validator = new AnsiValidator(this);
    for (QLineEdit* box : {ui->txtUserID, ui->txtPassword, ui->txtConfirmPassword})
        box->setValidator(validator);
    // Passwords show a "*" for each character, whatever the platform's habit.
    for (QLineEdit* box : {ui->txtPassword, ui->txtConfirmPassword})
        box->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    connect(ui->cmdOK, &QPushButton::clicked, this, &frmLogin::cmdOK_Click);
    connect(ui->cmdCancel, &QPushButton::clicked, this, &frmLogin::cmdCancel_Click);
}

frmLogin::~frmLogin() = default;

void frmLogin::showEvent(QShowEvent* event)
{
    if (!m_placed) {  // centred on the screen, the first time
        if (const QScreen* screen = this->screen())
            move(screen->availableGeometry().center() - rect().center());
        m_placed = true;
    }
    QDialog::showEvent(event);
    Form_Activate();
}

void frmLogin::Form_Activate()
{
    ui->txtPassword->clear();
    ui->txtConfirmPassword->clear();
}

void frmLogin::cmdOK_Click()
{
    const QString userID = text::TrimBlanks(ui->txtUserID->text());
    const QString password = text::TrimBlanks(ui->txtPassword->text());
    const QString confirmation = text::TrimBlanks(ui->txtConfirmPassword->text());
    if (userID.isEmpty() || password.isEmpty() || confirmation.isEmpty())
        return Refuse(IncompleteMessage, ui->txtUserID);
    if (password.size() < MinimumPasswordLength && confirmation.size() < MinimumPasswordLength)
        return Refuse(TooShortMessage, ui->txtPassword);
    if (ui->txtPassword->text() != ui->txtConfirmPassword->text())
        return Refuse(MismatchMessage, ui->txtConfirmPassword);
    // The boxes only take such characters; a text set by other means is checked here.
    for (QLineEdit* box : {ui->txtUserID, ui->txtPassword}) {
        if (!text::IsAnsi(box->text()))
            return Refuse(NotThaiMessage, box);
    }

    var::LoginAccepted = true;
    var::LoginUserID = text::ToAnsi(text::UpperAscii(userID));
    var::LoginPassword = text::ToAnsi(text::UpperAscii(password));
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
    gui::MsgBox(this, message, packing::vbExclamation, LoginTitle);
    var::LoginAccepted = false;
    field->setFocus(Qt::OtherFocusReason);
    field->selectAll();  // the next typing replaces the whole text
}
