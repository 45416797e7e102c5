// The main window: its start, the Browse buttons over answered dialogs, a whole
// run through the real window, the Unzip command, and Exit during a run.
#include "FakeCommonDialog.h"
#include "TestFiles.h"
#include "base/MessageBox.h"
#include "credentials/var.h"
#include "main_window/frmMain.h"
#include "packing/zip.h"
#include "widgets/MsgBox.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <QTimer>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace testfiles;

namespace {
struct Message {
    QString prompt;
    int buttons;
    QString title;
};
}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startState();
    void resizingMovesNothing();
    void browseSource_data();
    void browseSource();
    void cancelledSourceEmptiesTheList();
    void browseDestination();
    void namesThePlatformCannotReadAreRefused();
    void unreadableFilesAreNamedAndRenamed_data();
    void unreadableFilesAreNamedAndRenamed();
    void saveDialogRefusesAFolderThatIsNotThere();
    void filtersAndExplorerShape();
    void wholeRunThroughTheWindow();
    void loginClosedGivesNoCredentials();
    void unzipCommand();
    void endingDuringTheWait_data();
    void endingDuringTheWait();
    void fileSizeLimitIsAFailureNotASignal();

private:
    template <typename T>
    T* Find(const char* name) const
    {
        return m_window->findChild<T*>(name);
    }
    QStringList Items() const;
    FakeCommonDialog* Dialog(QStringList answers);

    QTemporaryDir m_temp;
    QTemporaryDir m_files;
    std::unique_ptr<frmMain> m_window;
    FakeCommonDialog* m_dialog = nullptr;
    QList<Message> m_messages;
    int m_yesNo = msgbox::vbNo;  // the answer to a yes-or-no question
};

void TestMainWindow::initTestCase()
{
    UseTempFolder(m_temp.path());
}

void TestMainWindow::init()
{
    m_messages.clear();
    gui::SetMsgBoxHandler([this](QWidget*, const QString& prompt, int buttons, const QString& title) {
        m_messages << Message{prompt, buttons, title};
        return buttons == msgbox::vbQuestionYesNo ? m_yesNo : msgbox::vbOK;
    });
    m_window = std::make_unique<frmMain>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

void TestMainWindow::cleanup()
{
    m_window.reset();
    gui::SetMsgBoxHandler({});
}

QStringList TestMainWindow::Items() const
{
    QStringList items;
    auto* list = Find<QListWidget>("List1");
    for (int i = 0; i < list->count(); ++i)
        items << list->item(i)->text();
    return items;
}

FakeCommonDialog* TestMainWindow::Dialog(QStringList answers)
{
    auto dialog = std::make_unique<FakeCommonDialog>();
    dialog->answers = answers;
    m_dialog = dialog.get();
    m_window->SetCommonDialog(std::move(dialog));
    return m_dialog;
}

void TestMainWindow::startState()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Quillfold"));
    QCOMPARE(m_window->centralWidget()->size(), QSize(420, 329));
    QCOMPARE(m_window->windowIcon().availableSizes(),
             (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {128, 128}}));
    QVERIFY(Find<QLabel>("imgOff")->isVisible());
    QVERIFY(!Find<QLabel>("imgHold")->isVisible());
    QVERIFY(!Find<QLabel>("imgOn")->isVisible());
    QVERIFY(Find<QLineEdit>("Text1")->text().isEmpty());
    QVERIFY(Find<QLineEdit>("Text2")->text().isEmpty());
    QVERIFY(Items().isEmpty());
    QVERIFY(Find<QLabel>("Label3")->text().isEmpty());
    QCOMPARE(Find<QLabel>("Label1")->text(), QString::fromUtf8("เลือกไฟล์"));
    QCOMPARE(Find<QLabel>("Label2")->text(), QString::fromUtf8("เลือกปลายทาง"));
    QCOMPARE(Find<QLabel>("lblVersion")->text(), QStringLiteral("V1.01"));
    QCOMPARE(Find<QLabel>("lblVersion")->font().pointSize(), 6);
    QCOMPARE(QApplication::focusWidget(), Find<QPushButton>("cmdBrowseSrc"));
    QStringList order;  // the tab order from there
    for (QWidget* w = QApplication::focusWidget(); order.size() < 7; w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus && w->isVisible())
            order << w->objectName();
    }
    QCOMPARE(order, (QStringList{"cmdBrowseSrc", "List1", "cmdBrowseDest", "cmdRun", "cmdExit", "Text1", "Text2"}));
    QVERIFY(!(m_window->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(m_window->windowFlags() & Qt::WindowMinimizeButtonHint);

    // The File menu offers Exit alone; Unzip keeps its command but is hidden.
    auto* menu = Find<QMenu>("mnuFile");
    QCOMPARE(menu->title(), QStringLiteral("&File"));
    QStringList shown;
    for (QAction* action : menu->actions()) {
        if (action->isVisible())
            shown << action->text();
    }
    QCOMPARE(shown, QStringList{"Exit"});
    QCOMPARE(menu->actions().size(), 4);
    QVERIFY(Find<QAction>("mnuSeperator")->isSeparator());
}

void TestMainWindow::resizingMovesNothing()
{
    const QRect before = Find<QPushButton>("cmdRun")->geometry();
    m_window->resize(700, 600);
    QTest::qWait(0);
    QCOMPARE(Find<QPushButton>("cmdRun")->geometry(), before);
    QCOMPARE(Find<QListWidget>("List1")->geometry(), QRect(24, 64, 369, 121));
}

void TestMainWindow::browseSource_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QStringList>("items");
    const QChar nul(0);
    QTest::newRow("one file") << "/data/forms/a.xls" << "/data/forms" << QStringList{"a.xls"};
    QTest::newRow("three files") << "/data/forms" + QString(nul) + "c.xls" + nul + "a.xls" + nul + "b b.xls"
                                 << "/data/forms" << QStringList{"c.xls", "a.xls", "b b.xls"};
    QTest::newRow("several in the root") << "/" + QString(nul) + "a.xls" + nul + "b.xls" << "/"
                                         << QStringList{"a.xls", "b.xls"};
    QTest::newRow("one in the root") << "/a.xls" << "/" << QStringList{"a.xls"};
    QTest::newRow("thai") << QString::fromUtf8("/งาน/แบบฟอร์ม.xls") << QString::fromUtf8("/งาน")
                          << QStringList{QString::fromUtf8("แบบฟอร์ม.xls")};
}

void TestMainWindow::browseSource()
{
    QFETCH(QString, answer);
    QFETCH(QString, folder);
    QFETCH(QStringList, items);
    Dialog({answer});
    QTest::mouseClick(Find<QPushButton>("cmdBrowseSrc"), Qt::LeftButton);
    QCOMPARE(Find<QLineEdit>("Text1")->text(), folder);
    QCOMPARE(Items(), items);

    const FakeCommonDialog::Shown& shown = m_dialog->shown.first();
    QVERIFY(!shown.save);
    QCOMPARE(shown.filter, QStringLiteral("Excel Files (*.xls)|*.xls|All Files (*.*)|*.*|"));
    QCOMPARE(shown.filterIndex, 1);
    QCOMPARE(shown.flags, 0x81200);
    QCOMPARE(shown.title, QString::fromUtf8("กรุณาเลือกแบบฟอร์ม"));
    QCOMPARE(shown.maxFileSize, 32767);
    QVERIFY(shown.fileName.isEmpty());
    QVERIFY(shown.cancelError);
}

void TestMainWindow::cancelledSourceEmptiesTheList()
{
    Dialog({"/data/forms/a.xls", QString()});
    m_window->cmdBrowseSrc_Click();
    m_window->cmdBrowseSrc_Click();
    QVERIFY(Items().isEmpty());
    QCOMPARE(Find<QLineEdit>("Text1")->text(), QStringLiteral("/data/forms"));
}

void TestMainWindow::browseDestination()
{
    Dialog({"/out/hand over.zip", "/out/pack", QString()});
    m_window->cmdBrowseDest_Click();
    QCOMPARE(Find<QLineEdit>("Text2")->text(), QStringLiteral("/out/hand over.zip"));
    const FakeCommonDialog::Shown& shown = m_dialog->shown.first();
    QVERIFY(shown.save);
    QCOMPARE(shown.filter, QStringLiteral("ZIP Files (*.zip)|*.zip|"));
    QCOMPARE(shown.flags, 0x8806);
    QCOMPARE(shown.title, QStringLiteral("Select the source file "));
    QVERIFY(shown.fileName.isEmpty());  // never remembers the last choice

    m_window->cmdBrowseDest_Click();  // typed without an extension: kept as typed
    QCOMPARE(Find<QLineEdit>("Text2")->text(), QStringLiteral("/out/pack"));
    m_window->cmdBrowseDest_Click();  // cancelled
    QVERIFY(Find<QLineEdit>("Text2")->text().isEmpty());
}

void TestMainWindow::namesThePlatformCannotReadAreRefused()
{
#ifdef Q_OS_WIN
    QSKIP("file names are UTF-16 on Windows: none is unreadable so");
#else
    // "รายงาน.xls" named in the old Thai code page: not UTF-8, so Qt gives the
    // name back with replacement characters and it names no file.
    const QByteArray thai874("\xC3\xD2\xC2\xA7\xD2\xB9.xls");
    const QByteArray path = QFile::encodeName(m_files.path()) + '/' + thai874;
    const int fd = ::open(path.constData(), O_CREAT | O_WRONLY, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);
    WriteFile(m_files.filePath("a.xls"), "fine");
    const QString asQtSeesIt = QFile::decodeName(thai874);
    QVERIFY(asQtSeesIt.contains(QChar::ReplacementCharacter));

    Dialog({m_files.path() + QChar(0) + "a.xls" + QChar(0) + asQtSeesIt});
    m_window->cmdBrowseSrc_Click();
    QCOMPARE(m_messages.size(), 1);
    QVERIFY2(m_messages[0].prompt.contains(QString::fromUtf8("รายงาน.xls")), qPrintable(m_messages[0].prompt));
    QVERIFY(m_messages[0].prompt.contains(QString::fromUtf8("กรุณาเปลี่ยนชื่อไฟล์")));
    QCOMPARE(m_messages[0].title, QString::fromUtf8("ข้อผิดพลาด"));
    QVERIFY(Items().isEmpty());  // nothing chosen, as after a cancel
    QVERIFY(Find<QLineEdit>("Text1")->text().isEmpty());
    QCOMPARE(::unlink(path.constData()), 0);
#endif
}

void TestMainWindow::unreadableFilesAreNamedAndRenamed_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("renamed") << int(msgbox::vbYes);
    QTest::newRow("left as they are") << int(msgbox::vbNo);
}

void TestMainWindow::unreadableFilesAreNamedAndRenamed()
{
#ifdef Q_OS_WIN
    QSKIP("file names are UTF-16 on Windows: none is unreadable so");
#else
    QFETCH(int, answer);
    m_yesNo = answer;
    QTemporaryDir files;
    // In the old Thai code page: "รายงาน.xls", "งบ.xls" (whose readable name is
    // taken), and a folder, which is no workbook.
    const QByteArray report("\xC3\xD2\xC2\xA7\xD2\xB9.xls"), budget("\xA7\xBA.xls");
    const QByteArray folder = QFile::encodeName(files.path()) + '/';
    for (const QByteArray& name : {report, budget}) {
        const int fd = ::open((folder + name).constData(), O_CREAT | O_WRONLY, 0644);
        QVERIFY(fd >= 0 && ::write(fd, name.constData(), size_t(name.size())) == name.size());
        ::close(fd);
    }
    QCOMPARE(::mkdir((folder + "\xA1").constData(), 0755), 0);
    WriteFile(files.filePath(QString::fromUtf8("งบ.xls")), "taken");
    WriteFile(files.filePath("a.xls"), "fine");

    Dialog({files.filePath("a.xls")});
    m_window->cmdBrowseSrc_Click();
    QCOMPARE(Items(), QStringList{"a.xls"});  // the choice stands
    QCOMPARE(m_messages.size(), answer == msgbox::vbYes ? 2 : 1);
    QCOMPARE(m_messages[0].buttons, msgbox::vbQuestionYesNo);
    QVERIFY(m_messages[0].prompt.contains(QString::fromUtf8("งบ.xls\nรายงาน.xls\n\n")));  // files only
    QVERIFY(m_messages[0].prompt.contains(QString::fromUtf8("รหัสภาษาไทยแบบเก่า")));
    const QString renamed = files.filePath(QString::fromUtf8("รายงาน.xls"));
    if (answer == msgbox::vbYes) {
        QVERIFY(m_messages[1].prompt.contains(QString::fromUtf8("เปลี่ยนชื่อแล้ว: รายงาน.xls")));
        QVERIFY(m_messages[1].prompt.contains(QString::fromUtf8("ไม่ได้เปลี่ยนชื่อ: งบ.xls (มีไฟล์ชื่อนี้อยู่แล้ว)")));
        QCOMPARE(ReadFile(renamed), report);
        QVERIFY(::access((folder + report).constData(), F_OK) != 0);
    } else {
        QVERIFY(!QFileInfo::exists(renamed));
        QVERIFY(::access((folder + report).constData(), F_OK) == 0);
    }
    QVERIFY(::access((folder + budget).constData(), F_OK) == 0);  // never over a file
    QCOMPARE(ReadFile(files.filePath(QString::fromUtf8("งบ.xls"))), QByteArray("taken"));
    for (const QByteArray& name : {report, budget})  // which QTemporaryDir cannot name
        ::unlink((folder + name).constData());
    ::rmdir((folder + "\xA1").constData());
#endif
}

void TestMainWindow::saveDialogRefusesAFolderThatIsNotThere()
{
    // The platform's own dialog, answered by typing: first a folder that does
    // not exist, then a good name.
    m_window->SetCommonDialog(std::make_unique<QtCommonDialog>(m_window.get()));
    QStringList typed{m_files.filePath("no such folder/hand over.zip"), m_files.filePath("hand over.zip")};
    QTimer answer;
    answer.setInterval(20);
    connect(&answer, &QTimer::timeout, this, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog || typed.isEmpty())
            return;
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText(typed.takeFirst());
        QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);  // at once: a second tick must not retype first
    });
    answer.start();
    m_window->cmdBrowseDest_Click();
    QCOMPARE(Find<QLineEdit>("Text2")->text(), m_files.filePath("hand over.zip"));
    QCOMPARE(m_messages.size(), 1);
    QVERIFY2(m_messages[0].prompt.contains(QString::fromUtf8("ไม่พบโฟลเดอร์ ") + m_files.filePath("no such folder")),
             qPrintable(m_messages[0].prompt));
}

void TestMainWindow::filtersAndExplorerShape()
{
    QCOMPARE(QtNameFilters("Excel Files (*.xls)|*.xls|All Files (*.*)|*.*|"),
             (QStringList{"Excel Files (*.xls)", "All Files (*)"}));
    QCOMPARE(QtNameFilters("ZIP Files (*.zip)|*.zip|"), QStringList{"ZIP Files (*.zip)"});
    QCOMPARE(QtNameFilters("Books|*.xls;*.xlsx|"), QStringList{"Books (*.xls *.xlsx)"});

    const QChar nul(0);
    QCOMPARE(ExplorerResult({"/d/a.xls"}), QStringLiteral("/d/a.xls"));
    QCOMPARE(ExplorerResult({"/d/a.xls", "/d/b.xls"}), "/d" + QString(nul) + "a.xls" + nul + "b.xls");
    QCOMPARE(ExplorerResult({"/a.xls", "/b.xls"}), "/" + QString(nul) + "a.xls" + nul + "b.xls");
    QVERIFY_THROWS_EXCEPTION(RuntimeError, ExplorerResult({"/d/a.xls", "/e/b.xls"}));
}

void TestMainWindow::wholeRunThroughTheWindow()
{
    WriteFile(m_files.filePath("a.xls"), "first workbook");
    WriteFile(m_files.filePath("b.xls"), "second workbook");
    const QString archive = m_files.filePath("out/hand over.zip");
    QDir().mkpath(m_files.filePath("out"));
    Dialog({m_files.path() + QChar(0) + "a.xls" + QChar(0) + "b.xls", archive});
    QTest::mouseClick(Find<QPushButton>("cmdBrowseSrc"), Qt::LeftButton);
    QTest::mouseClick(Find<QPushButton>("cmdBrowseDest"), Qt::LeftButton);

    // The credentials dialog is answered as soon as it is up.
    bool answered = false;
    QTimer::singleShot(0, this, [&] {
        QWidget* login = QApplication::activeModalWidget();
        QVERIFY(login);
        QCOMPARE(login->windowTitle(), QStringLiteral("Authentication"));
        QCOMPARE(login->parentWidget(), m_window.get());
        QTest::keyClicks(login->findChild<QLineEdit*>("txtUserID"), " clerk ");
        QTest::keyClicks(login->findChild<QLineEdit*>("txtPassword"), "secret");
        QTest::keyClicks(login->findChild<QLineEdit*>("txtConfirmPassword"), "secret");
        QTest::keyClick(login->findChild<QLineEdit*>("txtConfirmPassword"), Qt::Key_Return);
        answered = true;
    });
    Find<QPushButton>("cmdRun")->setFocus();  // Enter presses the focused button
    QTest::keyClick(Find<QPushButton>("cmdRun"), Qt::Key_Return);
    QVERIFY(answered);

    QCOMPARE(m_messages.size(), 2);
    QCOMPARE(m_messages[0].prompt, QString::fromUtf8("กรุณายืนยันเพื่อเริ่มทำงาน"));
    QCOMPARE(m_messages[1].buttons, 64);
    QVERIFY(m_messages[1].prompt.startsWith("finished "));
    QCOMPARE(EntriesOf(archive), (QStringList{"a.enc", "b.enc"}));
    QCOMPARE(var::LoginUserID, QByteArray("CLERK"));

    QVERIFY(Find<QLabel>("imgOn")->isVisible());
    QVERIFY(!Find<QLabel>("imgHold")->isVisible());
    QVERIFY(!Find<QLabel>("imgOff")->isVisible());
    QVERIFY(Find<QLineEdit>("Text1")->text().isEmpty());
    QVERIFY(Find<QLineEdit>("Text2")->text().isEmpty());
    QVERIFY(Items().isEmpty());
    QCOMPARE(Find<QLabel>("Label3")->text(), m_messages[1].prompt);
    for (const char* button : {"cmdBrowseSrc", "cmdBrowseDest", "cmdRun", "cmdExit"})
        QVERIFY(Find<QPushButton>(button)->isEnabled());
    QCOMPARE(m_window->focusWidget(), Find<QPushButton>("cmdBrowseSrc"));  // the list is empty again
    QCOMPARE(QDir(m_temp.filePath(QStringLiteral("quillfold-") + platform::UserTag())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());
}

void TestMainWindow::loginClosedGivesNoCredentials()
{
    // After an earlier acceptance, the dialog closed with its close box: the
    // pack run is given no credentials, not the earlier ones; accepted, it is
    // given what the dialog stored.
    var::LoginAccepted = true;
    var::LoginUserID = "EARLIER";
    QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
    QVERIFY(!m_window->ShowLogin());
    QVERIFY(var::LoginAccepted == false && var::LoginUserID == "EARLIER");
    QTimer::singleShot(0, [] {
        QWidget* login = QApplication::activeModalWidget();
        for (const char* box : {"txtUserID", "txtPassword", "txtConfirmPassword"})
            login->findChild<QLineEdit*>(box)->setText(" clerk ");
        login->findChild<QPushButton*>("cmdOK")->click();
    });
    const std::optional<credentials::Stored> accepted = m_window->ShowLogin();
    QVERIFY(accepted && accepted->userID == "CLERK" && accepted->password == "CLERK");
}

void TestMainWindow::unzipCommand()
{
    // An archive with two dots in its name is extracted into the folder named
    // up to the first dot, beside it.
    WriteFile(m_files.filePath("x.enc"), "package");
    const QString archive = m_files.filePath("forms.2004.zip");
    Zip({"-q", "-j", archive, m_files.filePath("x.enc")});
    Dialog({archive, QString(), m_files.filePath("damaged.zip")});
    Find<QAction>("mnuFileUnzip")->trigger();
    QCOMPARE(QDir(m_files.filePath("forms")).entryList(QDir::Files), QStringList{"x.enc"});
    QCOMPARE(m_dialog->shown.first().title, QStringLiteral("Select the source file "));
    QCOMPARE(m_dialog->shown.first().filter, QStringLiteral("ZIP Files (*.zip)|*.zip|"));
    QVERIFY(m_messages.isEmpty());

    m_window->mnuFileUnzip_Click();  // cancelled: nothing at all
    QVERIFY(m_messages.isEmpty());

    WriteFile(m_files.filePath("damaged.zip"), "not an archive");
    m_window->mnuFileUnzip_Click();  // a failed extraction is reported
    QCOMPARE(m_messages.size(), 1);
    QVERIFY(m_messages[0].prompt.startsWith("Run-time error '1001':"));
    QVERIFY(m_messages[0].prompt.contains("damaged.zip"));
}

void TestMainWindow::endingDuringTheWait_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("File > Exit") << "exit";
    QTest::newRow("close box") << "close";
    QTest::newRow("close box, answered no") << "close-no";
    QTest::newRow("SIGTERM") << "signal";
    QTest::newRow("SIGKILL") << "kill";
}

void TestMainWindow::endingDuringTheWait()
{
    QFETCH(QString, how);
    if (!Posix && how == "signal")
        QSKIP("Windows has no signals; a window is ended by its close box or the system's log-off");
    QTemporaryDir temp;
    QTemporaryDir files;
    WriteFile(files.filePath("a.xls"), "first");
    WriteFile(files.filePath("b.xls"), "second");
    QDir().mkpath(files.filePath("out"));
    const QString destination = files.filePath("out/hand over.zip");
    WriteFile(destination, "the archive of an earlier hand-over");
    const QString slow = StandInFolder(files.filePath("slow"));
    const QString marker = files.filePath("zip went on");

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : TempVariables())
        environment.insert(name, QDir::toNativeSeparators(temp.path()));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("QUILLFOLD_STANDIN", "slow:700:" + marker);
    program.setProcessEnvironment(environment);
    program.start(BuiltProgram("gui_exit_during_wait"),
                  {how, files.path(), destination, slow});
    QVERIFY(program.waitForFinished(20000));
    const QString said = QString::fromUtf8(program.readAllStandardOutput()).remove(u'\r');
    if (how == "kill") {
        // No clean-up is possible: what is left must not look like a finished hand-over.
        QCOMPARE(program.exitStatus(), QProcess::CrashExit);
        QCOMPARE(ReadFile(destination), QByteArray("the archive of an earlier hand-over"));
        const QStringList aside = QDir(files.filePath("out")).entryList({".quillfold-*"}, QDir::Dirs | QDir::Hidden);
        QCOMPARE(aside.size(), 1);
        const QStringList left = QDir(files.filePath("out/" + aside[0])).entryList(QDir::Files | QDir::Hidden);
        QVERIFY(!left.isEmpty());
        // (Windows ends zip as it ends us, with no chance to remove its own
        // temporary file, named zi and letters: no hand-over either.)
        for (const QString& name : left)
            QVERIFY2((name.endsWith(".part") && name.contains("unfinished")) || (!Posix && name.startsWith("zi")),
                     qPrintable(name));
        // And zip, which was at work, was stopped with it: it writes nothing more.
        QTest::qWait(900);
        QVERIFY(!QFileInfo::exists(marker));
        return;
    }
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QVERIFY2(program.exitCode() == 0, qPrintable(said + program.readAllStandardError()));
    const QString confirm = QStringLiteral("message: %1\nending\n").arg(QString::fromUtf8("กรุณายืนยันเพื่อเริ่มทำงาน"));
    const QString asked = QStringLiteral("message: ") + QString::fromUtf8("กำลังแพ็กไฟล์อยู่");
    if (how == "close-no") {
        // The run went on to the end and handed over the new archive.
        QVERIFY2(said.startsWith(confirm + asked) && said.endsWith("the run went on\n"), qPrintable(said));
        QVERIFY(ReadFile(destination).startsWith("PK"));
        QCOMPARE(QDir(files.filePath("out")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{"hand over.zip"});
        return;
    }
    QVERIFY2(said.startsWith(confirm) && said.endsWith("ended\n") && said.contains(asked) == (how == "close"),
             qPrintable(said));

    // Nothing half-done: the old archive as it was, nothing of the run beside it
    // or in the work area, and zip was stopped before it could write more.
    QCOMPARE(ReadFile(destination), QByteArray("the archive of an earlier hand-over"));
    QCOMPARE(QDir(files.filePath("out")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{"hand over.zip"});
    const QDir workArea(temp.filePath(QStringLiteral("quillfold-") + platform::UserTag()));
    QVERIFY(workArea.exists());
    QCOMPARE(workArea.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    QTest::qWait(900);
    QVERIFY(!QFileInfo::exists(marker));
}

void TestMainWindow::fileSizeLimitIsAFailureNotASignal()
{
    if (!Posix)
        QSKIP("Windows has no file-size limit");
    // The whole program, under a limit its package passes: it says so, and
    // leaves the old archive and nothing else.
    QTemporaryDir temp, files;
    WriteFile(files.filePath("big.xls"), RandomBytes(3 << 20));
    const QString destination = files.filePath("hand over.zip");
    WriteFile(destination, "the archive of an earlier hand-over");
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TMPDIR", temp.path());
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(environment);
    program.start("prlimit", {"--fsize=1000000", "--", BuiltProgram("pack_through_window"), files.path(), destination,
                              "clerk", "secret", "big.xls"});
    QVERIFY(program.waitForFinished(30000));
    const QString said = QString::fromUtf8(program.readAllStandardOutput());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QVERIFY2(program.exitCode() == 1 && said.contains(QString::fromUtf8("ขีดจำกัดขนาดไฟล์ ulimit -f")), qPrintable(said));
    QCOMPARE(ReadFile(destination), QByteArray("the archive of an earlier hand-over"));
    QCOMPARE(QDir(files.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{"big.xls", "hand over.zip"}));
    QCOMPARE(QDir(temp.filePath("quillfold-" + platform::UserTag())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
