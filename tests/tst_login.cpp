// The credentials dialog: what it accepts, what it refuses and how, and the
// credentials it leaves behind.
#include "credentials/frmLogin.h"
#include "credentials/var.h"
#include "main_window/MsgBox.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QTimer>

namespace {
const QString Incomplete = QStringLiteral("กรุณาใส่ข้อมูลให้ครบถ้วน!");
const QString TooShort = QStringLiteral("รหัสผ่านต้องมีความยาวอย่างน้อย 3 หลัก, กรุณาลองใหม่อีกครั้ง!");
const QString Mismatch = QStringLiteral("การยืนยันรหัสผ่านผิดพลาด, กรุณาลองใหม่อีกครั้ง!");

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
    void userIDKeptPasswordsClearedBetweenShowings();
    void closeBoxRunsNoHandler();
    void modalCallReturnsWhenAccepted();

private:
    QLineEdit* Box(const char* name) const { return m_dialog->findChild<QLineEdit*>(name); }
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

    // A thirteenth character goes in neither by typing nor by pasting.
    for (const char* name : {"txtUserID", "txtPassword", "txtConfirmPassword"}) {
        QLineEdit* box = Box(name);
        QTest::keyClicks(box, "ABCDEFGHIJKLMNOP");
        QCOMPARE(box->text().size(), 12);
        box->clear();
        QGuiApplication::clipboard()->setText("abcdefghijklmnop");
        box->paste();
        QCOMPARE(box->text(), QStringLiteral("abcdefghijkl"));
    }
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
    Type(user, QString::fromUtf8("ab中cก"));
    QCOMPARE(user->text(), QString::fromUtf8("abcก"));
    QGuiApplication::clipboard()->setText(QString::fromUtf8("x\u0416y"));  // Cyrillic
    user->paste();
    QCOMPARE(user->text(), QString::fromUtf8("abcก"));

    // A text put there by other means is refused at OK, never stored as '?'.
    Fill(QString::fromUtf8("clerk\u00E9"), "secret", "secret");
    PressOK();
    QCOMPARE(m_messages.size(), 1);
    QVERIFY(!var::LoginAccepted);
    QCOMPARE(var::LoginUserID, QByteArray("BEFORE"));
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
