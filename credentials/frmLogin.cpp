#include "frmLogin.h"

#include "Credentials.h"

#include "ui_frmLogin.h"
#include "var.h"
#include "base/MessageBox.h"
#include "base/text.h"
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
const QString NotThaiMessage =
    QStringLiteral("มีตัวอักษรที่ใช้ไม่ได้ กรุณาใช้เฉพาะตัวอักษรภาษาไทยหรือภาษาอังกฤษ!");
const QString TooLongPasteMessage =
    QStringLiteral("ข้อความที่วางยาวเกิน 12 ตัวอักษร จึงไม่ได้วางลงไป กรุณาตรวจสอบแล้ววางใหม่อีกครั้ง!");
// Notes beside a box for a typed character that did not go in: no box to click
// away, so typing can go on.
const QString FullNote = QStringLiteral("ใส่ได้ไม่เกิน 12 ตัวอักษร ตัวที่พิมพ์เพิ่มจะไม่ถูกใส่");
const QString CharacterNote = QStringLiteral("ใช้ได้เฉพาะตัวอักษรภาษาไทยหรือภาษาอังกฤษ");

// Takes only what can be stored: at most 12 characters of the Thai code page,
// no control characters, so nothing is ever cut or stored as '?'. A 13th
// typed character does not appear, and a note under the box says why (in a
// password box nothing else would show it); a paste that does not fit is
// refused whole, and the operator is told why.
class CredentialValidator : public QValidator {
public:
    CredentialValidator(QLineEdit* box, QWidget* dialog, QLabel* note)
        : QValidator(box), m_box(box), m_dialog(dialog), m_note(note)
    {
        m_noteTimer.setSingleShot(true);
        m_noteTimer.setInterval(4000);
        connect(&m_noteTimer, &QTimer::timeout, m_note, &QWidget::hide);
        connect(box, &QLineEdit::textChanged, this, [this](const QString& text) {
            m_accepted = text;
            if (text.size() < text::CredentialLength && m_note->text() == FullNote)
                m_note->hide();
        });
    }

    State validate(QString& input, int&) const override
    {
        if (text::IsStorableCredential(input))
            return Acceptable;
        // More than one character at once: a paste (or a drop), not typing.
        qsizetype same = 0;
        while (same < input.size() && same < m_accepted.size() && input[same] == m_accepted[same])
            ++same;
        qsizetype sameEnd = 0;
        while (sameEnd < input.size() - same && sameEnd < m_accepted.size() - same &&
               input[input.size() - 1 - sameEnd] == m_accepted[m_accepted.size() - 1 - sameEnd])
            ++sameEnd;
        if (input.size() - same - sameEnd == 1) {  // one typed character
            const bool fits = text::IsStorableCredential(QString(input[same]));
            const QString note = fits && input.size() > text::CredentialLength ? FullNote : CharacterNote;
            m_note->setText(note);
            m_note->adjustSize();
            m_note->move(m_box->mapToGlobal(QPoint(0, m_box->height())));
            m_note->show();
            m_noteTimer.start();
        } else if (input.size() - same - sameEnd > 1 && !m_telling) {
            const QString message =
                text::HasControl(input) || !text::IsAnsi(input) ? NotThaiMessage : TooLongPasteMessage;
            m_telling = true;
            QTimer::singleShot(0, m_dialog, [this, message] {
                gui::MsgBox(m_dialog, message, msgbox::vbExclamation, LoginTitle);
                m_telling = false;
                m_box->setFocus(Qt::OtherFocusReason);
            });
        }
        return Invalid;
    }

private:
    QLineEdit* m_box;
    QWidget* m_dialog;
    QLabel* m_note;
    mutable QTimer m_noteTimer;
    QString m_accepted;
    mutable bool m_telling = false;
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
    // A note like a tool tip, under the box it is about.
    auto* note = new QLabel(this, Qt::ToolTip);
    note->setObjectName(QStringLiteral("lblNote"));
    note->setForegroundRole(QPalette::ToolTipText);
    note->setBackgroundRole(QPalette::ToolTipBase);
    note->setAutoFillBackground(true);
    note->setFrameStyle(QFrame::Box | QFrame::Plain);
    note->setMargin(2);
    for (QLineEdit* box : {ui->txtUserID, ui->txtPassword, ui->txtConfirmPassword})
        box->setValidator(new CredentialValidator(box, this, note));
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
    case err::Reason::UserIDNotStorable: return Refuse(NotThaiMessage, ui->txtUserID);
    case err::Reason::PasswordNotStorable: return Refuse(NotThaiMessage, ui->txtPassword);
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
