// The credentials dialog: what it accepts, what it refuses and how, and the
// credentials it leaves behind.
#include "credentials/frmLogin.h"
#include "credentials/var.h"
#include "widgets/MsgBox.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <QLabel>
#include <QTimer>

namespace {
const QString Incomplete = QStringLiteral("กรุณาใส่ข้อมูลให้ครบถ้วน!");
const QString TooShort = QStringLiteral("รหัสผ่านต้องมีความยาวอย่างน้อย 3 หลัก, กรุณาลองใหม่อีกครั้ง!");
const QString Mismatch = QStringLiteral("การยืนยันรหัสผ่านผิดพลาด, กรุณาลองใหม่อีกครั้ง!");
const QString NotThai = QStringLiteral("มีตัวอักษรที่ใช้ไม่ได้ กรุณาใช้เฉพาะตัวอักษรภาษาไทยหรือภาษาอังกฤษ!");
const QString TooLong = QStringLiteral("ข้อความที่วางยาวเกิน 12 ตัวอักษร จึงไม่ได้วางลงไป กรุณาตรวจสอบแล้ววางใหม่อีกครั้ง!");
const QString FullNote = QStringLiteral("ใส่ได้ไม่เกิน 12 ตัวอักษร ตัวที่พิมพ์เพิ่มจะไม่ถูกใส่");

// Types any characters, Thai and others, as key events carrying their text.
void Type(QWidget* box, const QString& text)
{
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(box, &press);
        QApplication::sendEvent(box, &release);
    }
}
}  // namespace

class TestLogin : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void formAndLimits();
    void refusals_data();
    void refusals();
    void acceptanceStoresTrimmedUpperCase();
    void enterIsOkAndEscIsCancel();
    void onlyThaiCodePageCharactersGoIn();
    void pasteRules_data();
    void pasteRules();
    void focusAndPlaceAtEachShowing();
    void userIDKeptPasswordsClearedBetweenShowings();
    void closeBoxRunsNoHandler();
    void modalCallReturnsWhenAccepted();

private:
    QLineEdit* Box(const char* name) const { return m_dialog->findChild<QLineEdit*>(name); }
    QLabel* Note() const { return m_dialog->findChild<QLabel*>("lblNote"); }
    void Fill(const QString& user, const QString& password, const QString& confirmation);
    void PressOK() { QTest::mouseClick(m_dialog->findChild<QPushButton*>("cmdOK"), Qt::LeftButton); }

    std::unique_ptr<QWidget> m_owner;
    std::unique_ptr<frmLogin> m_dialog;
    QStringList m_messages;
};

void TestLogin::init()
{
    var::LoginAccepted = false;
    var::LoginUserID = "BEFORE";
    var::LoginPassword = "BEFORE";
    m_messages.clear();
    gui::SetMsgBoxHandler([this](QWidget*, const QString& prompt, int buttons, const QString& title) {
        m_messages << prompt;
        // Every refusal is an exclamation box with OK, titled "Login".
        if (buttons != 48 || title != "Login")
            m_messages << QStringLiteral("unexpected box %1 %2").arg(buttons).arg(title);
        return 1;
    });
    m_owner = std::make_unique<QWidget>();
    m_dialog = std::make_unique<frmLogin>(m_owner.get());
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
}

void TestLogin::cleanup()
{
    m_dialog.reset();
    m_owner.reset();
    gui::SetMsgBoxHandler({});
}

void TestLogin::Fill(const QString& user, const QString& password, const QString& confirmation)
{
    Box("txtUserID")->setText(user);
    Box("txtPassword")->setText(password);
    Box("txtConfirmPassword")->setText(confirmation);
}

void TestLogin::formAndLimits()
{
    QCOMPARE(m_dialog->windowTitle(), QStringLiteral("Authentication"));
    QCOMPARE(m_dialog->size(), QSize(265, 134));
    QCOMPARE(m_dialog->minimumSize(), m_dialog->maximumSize());  // fixed border
    QVERIFY(!(m_dialog->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(m_dialog->windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(m_dialog->findChild<QWidget*>("lblLabels_0")->property("text").toString(), QString::fromUtf8("รหัสผู้ใช้ :"));
    for (const char* name : {"txtPassword", "txtConfirmPassword"}) {
        QLineEdit* box = Box(name);
        QCOMPARE(box->echoMode(), QLineEdit::Password);
        QCOMPARE(box->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, box), int('*'));
    }
    QVERIFY(m_dialog->findChild<QPushButton*>("cmdOK")->isDefault());
    QCOMPARE(m_dialog->focusWidget(), Box("txtUserID"));

    // Tab order: user ID, password, confirmation, OK, Cancel.
    QStringList order;
    QWidget* w = Box("txtUserID");
    for (int i = 0; i < 5; ++i, w = w->nextInFocusChain()) {
        while (!(w->focusPolicy() & Qt::TabFocus))
            w = w->nextInFocusChain();
        order << w->objectName();
    }
    QCOMPARE(order, (QStringList{"txtUserID", "txtPassword", "txtConfirmPassword", "cmdOK", "cmdCancel"}));

    // A thirteenth character cannot be typed: no box to click away, but a note
    // under the box says why, until the box is no longer full.
    for (const char* name : {"txtUserID", "txtPassword", "txtConfirmPassword"}) {
        QLineEdit* box = Box(name);
        QTest::keyClicks(box, "ABCDEFGHIJKL");
        QVERIFY(!Note()->isVisible());
        QTest::keyClicks(box, "MNOP");
        QCOMPARE(box->text(), QStringLiteral("ABCDEFGHIJKL"));
        QVERIFY(Note()->isVisible());
        QCOMPARE(Note()->text(), FullNote);
        QTest::keyClick(box, Qt::Key_Backspace);
        QVERIFY(!Note()->isVisible());
    }
    QTest::qWait(0);
    QVERIFY(m_messages.isEmpty());
}

void TestLogin::refusals_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("confirmation");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("field");

    QTest::newRow("all blank") << "" << "" << "" << Incomplete << "txtUserID";
    QTest::newRow("spaces only") << "   " << "  " << " " << Incomplete << "txtUserID";
    QTest::newRow("user ID of spaces") << "   " << "secret" << "secret" << Incomplete << "txtUserID";
    QTest::newRow("user ID of no-break spaces and a tab")
        << QString::fromUtf8("\u00A0\t\u00A0") << "secret" << "secret" << Incomplete << "txtUserID";
    QTest::newRow("confirmation blank") << "clerk" << "secret" << "" << Incomplete << "txtUserID";
    QTest::newRow("two characters") << "clerk" << "ab" << "ab" << TooShort << "txtPassword";
    QTest::newRow("two after trimming") << "clerk" << "  ab  " << "  ab  " << TooShort << "txtPassword";
    QTest::newRow("short, confirmation of three") << "clerk" << "ab" << "abc" << Mismatch << "txtConfirmPassword";
    QTest::newRow("case differs") << "clerk" << "secret" << "SECRET" << Mismatch << "txtConfirmPassword";
    QTest::newRow("trailing blank") << "clerk" << "secret" << "secret " << Mismatch << "txtConfirmPassword";
}

void TestLogin::refusals()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, confirmation);
    QFETCH(QString, message);
    QFETCH(QString, field);
    var::LoginAccepted = true;
    Fill(user, password, confirmation);
    PressOK();
    QCOMPARE(m_messages, QStringList{message});
    QVERIFY(!var::LoginAccepted);
    QCOMPARE(var::LoginUserID, QByteArray("BEFORE"));
    QVERIFY(m_dialog->isVisible());  // stays open
    QLineEdit* focused = Box(qPrintable(field));
    QCOMPARE(m_dialog->focusWidget(), focused);
    QCOMPARE(focused->selectedText(), focused->text());  // the next typing replaces it
}

void TestLogin::acceptanceStoresTrimmedUpperCase()
{
    Fill(QString::fromUtf8("  clerk ก1 "), " pass ", " pass ");
    PressOK();
    QVERIFY(m_messages.isEmpty());
    QVERIFY(var::LoginAccepted);
    QCOMPARE(var::LoginUserID, QByteArray("CLERK \xA1" "1"));  // Thai as its Windows-874 byte
    QCOMPARE(var::LoginPassword, QByteArray("PASS"));
    QVERIFY(!m_dialog->isVisible());
}

void TestLogin::enterIsOkAndEscIsCancel()
{
    Fill("clerk", "secret", "secret");
    QTest::keyClick(Box("txtConfirmPassword"), Qt::Key_Return);
    QVERIFY(var::LoginAccepted);
    QVERIFY(!m_dialog->isVisible());

    m_dialog->show();
    Fill("other", "changed", "changed");
    QTest::keyClick(Box("txtPassword"), Qt::Key_Escape);
    QVERIFY(!var::LoginAccepted);
    QVERIFY(!m_dialog->isVisible());
    QCOMPARE(var::LoginUserID, QByteArray("CLERK"));  // Cancel keeps the earlier values
    QCOMPARE(var::LoginPassword, QByteArray("SECRET"));
}

void TestLogin::onlyThaiCodePageCharactersGoIn()
{
    QLineEdit* user = Box("txtUserID");
    Type(user, QString::fromUtf8("ab中"));
    QCOMPARE(Note()->text(), QString::fromUtf8("ใช้ได้เฉพาะตัวอักษรภาษาไทยหรือภาษาอังกฤษ"));
    Type(user, QString::fromUtf8("cก"));
    QCOMPARE(user->text(), QString::fromUtf8("abcก"));
    QGuiApplication::clipboard()->setText(QString::fromUtf8("x\u0416y"));  // Cyrillic
    user->paste();
    QCOMPARE(user->text(), QString::fromUtf8("abcก"));

    // A text put there by other means is refused at OK, never stored as '?'
    // nor with a control character in it.
    for (const QString& userID : {QString::fromUtf8("clerk\u00E9"), QStringLiteral("clerk\x1b[1m")}) {
        m_messages.clear();
        Fill(userID, "secret", "secret");
        PressOK();
        QCOMPARE(m_messages, QStringList{NotThai});
        QVERIFY(!var::LoginAccepted);
        QCOMPARE(var::LoginUserID, QByteArray("BEFORE"));
    }
}

void TestLogin::pasteRules_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("selectAll");
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("message");  // empty: none
    QTest::newRow("fits") << "abcdefg" << false << "hijkl" << "abcdefghijkl" << QString();
    QTest::newRow("16 characters into an empty box") << "" << false << "abcdefghijklmnop" << "" << TooLong;
    QTest::newRow("13 in all") << "abcdefghij" << false << "klm" << "abcdefghij" << TooLong;
    QTest::newRow("13 over a selected 12") << "abcdefghijkl" << true << "ABCDEFGHIJKLM" << "abcdefghijkl" << TooLong;
    QTest::newRow("escape sequence") << "ab" << false << "\x1b[2J" << "ab" << NotThai;
    QTest::newRow("newline") << "" << false << "sec\nret" << "" << NotThai;
    QTest::newRow("C1 control") << "" << false << QString::fromUtf8("ab\u0085cd") << "" << NotThai;
    QTest::newRow("outside the Thai code page") << "" << false << QString::fromUtf8("x\u0416y") << "" << NotThai;
    QTest::newRow("Thai") << "" << false << QString::fromUtf8("รหัสลับ") << QString::fromUtf8("รหัสลับ") << QString();
}

void TestLogin::pasteRules()
{
    QFETCH(QString, before);
    QFETCH(bool, selectAll);
    QFETCH(QString, pasted);
    QFETCH(QString, after);
    QFETCH(QString, message);
    for (const char* name : {"txtUserID", "txtPassword"}) {
        m_messages.clear();
        QLineEdit* box = Box(name);
        box->setText(before);
        if (selectAll)
            box->selectAll();
        QGuiApplication::clipboard()->setText(pasted);
        box->paste();
        QTest::qWait(0);
        QCOMPARE(box->text(), after);  // never cut: all of it, or none of it
        QCOMPARE(m_messages, message.isEmpty() ? QStringList{} : QStringList{message});
    }
}

void TestLogin::focusAndPlaceAtEachShowing()
{
    // The first showing: everything empty, the cursor in the user ID.
    QCOMPARE(m_dialog->focusWidget(), Box("txtUserID"));
    const QPoint centre = m_owner->screen()->availableGeometry().center();
    QVERIFY((m_dialog->frameGeometry().center() - centre).manhattanLength() <= 2);

    // After an accepted run the user ID is kept: the cursor goes to the password.
    Box("txtConfirmPassword")->setFocus();
    Fill("clerk", "secret", "secret");
    PressOK();
    m_dialog->show();
    QCOMPARE(m_dialog->focusWidget(), Box("txtPassword"));
    QTest::keyClicks(Box("txtPassword"), "secret");
    QTest::keyClick(Box("txtPassword"), Qt::Key_Tab);
    QTest::keyClicks(m_dialog->focusWidget(), "secret");
    QTest::keyClick(m_dialog->focusWidget(), Qt::Key_Return);
    QVERIFY(m_messages.isEmpty());
    QVERIFY(var::LoginAccepted);

    // Moved, then closed with the close box: centred again, and empty again.
    m_dialog->show();
    m_dialog->move(0, 0);
    QVERIFY(m_dialog->close());
    m_dialog->show();
    QVERIFY((m_dialog->frameGeometry().center() - centre).manhattanLength() <= 2);
    QCOMPARE(m_dialog->focusWidget(), Box("txtUserID"));
}

void TestLogin::userIDKeptPasswordsClearedBetweenShowings()
{
    Fill("clerk", "secret", "secret");
    PressOK();
    m_dialog->show();
    QCOMPARE(Box("txtUserID")->text(), QStringLiteral("clerk"));
    QVERIFY(Box("txtPassword")->text().isEmpty());
    QVERIFY(Box("txtConfirmPassword")->text().isEmpty());
}

void TestLogin::closeBoxRunsNoHandler()
{
    Fill("clerk", "secret", "secret");
    PressOK();
    m_dialog->show();
    Fill("someone", "else", "else");
    QVERIFY(m_dialog->close());
    QVERIFY(!m_dialog->isVisible());
    QVERIFY(var::LoginAccepted);  // as it was
    QCOMPARE(var::LoginUserID, QByteArray("CLERK"));
    m_dialog->show();
    QVERIFY(Box("txtUserID")->text().isEmpty());  // as a new form
}

void TestLogin::modalCallReturnsWhenAccepted()
{
    m_dialog->hide();
    QTimer::singleShot(0, m_dialog.get(), [this] {
        Fill("clerk", "secret", "secret");
        PressOK();
    });
    QCOMPARE(m_dialog->exec(), int(QDialog::Accepted));
    QVERIFY(var::LoginAccepted);
}

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
