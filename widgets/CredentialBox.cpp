#include "CredentialBox.h"

#include "MsgBox.h"
#include "base/MessageBox.h"
#include "base/text.h"

#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QValidator>

namespace gui {
const QString NotThaiMessage = QStringLiteral("มีตัวอักษรที่ใช้ไม่ได้ กรุณาใช้เฉพาะตัวอักษรภาษาไทยหรือภาษาอังกฤษ!");

namespace {
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
    CredentialValidator(QLineEdit* box, QWidget* dialog, QLabel* note, const QString& title)
        : QValidator(box), m_box(box), m_dialog(dialog), m_note(note), m_title(title)
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
                gui::MsgBox(m_dialog, message, msgbox::vbExclamation, m_title);
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
    QString m_title;
    mutable QTimer m_noteTimer;
    QString m_accepted;
    mutable bool m_telling = false;
};
}  // namespace


QLabel* NoteBeside(QWidget* dialog)
{
    // A note like a tool tip, under the box it is about.
    auto* note = new QLabel(dialog, Qt::ToolTip);
    note->setObjectName(QStringLiteral("lblNote"));
    note->setForegroundRole(QPalette::ToolTipText);
    note->setBackgroundRole(QPalette::ToolTipBase);
    note->setAutoFillBackground(true);
    note->setFrameStyle(QFrame::Box | QFrame::Plain);
    note->setMargin(2);
    return note;
}

void TakeOnlyCredentials(QLineEdit* box, QWidget* dialog, QLabel* note, const QString& title)
{
    box->setValidator(new CredentialValidator(box, dialog, note, title));
}

}  // namespace gui
