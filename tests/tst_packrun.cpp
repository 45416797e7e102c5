// The pack run against a fake window: checks, credentials, confirmation, the
// archive it builds, the window's states, and what every failure leaves behind.
#include "FakeWindow.h"
#include "TestFiles.h"
#include "credentials/clsCrypt.h"
#include "credentials/var.h"
#include "packing/PackRun.h"
#include "packing/RuntimeError.h"
#include "packing/security.h"
#include "packing/zip.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace testfiles;

using packing::Control;
using namespace fakewindow;

namespace {
const QString NoFiles = QStringLiteral("กรุณาเลือกไฟล์");
const QString NoDestination = QStringLiteral("กรุณาเลือกปลายทาง");
const QString Confirm = QStringLiteral("กรุณายืนยันเพื่อเริ่มทำงาน");

void Accept(const QByteArray& userID, const QByteArray& password)
{
    var::LoginAccepted = true;
    var::LoginUserID = userID;
    var::LoginPassword = password;
}




QByteArray EntryContent(const QString& archive, const QString& entry)
{
    QProcess extract;
    extract.start("unzip", {"-p", archive, entry});
    extract.waitForFinished();
    return extract.readAllStandardOutput();
}
}  // namespace

class TestPackRun : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void checksComeFirstAndInOrder();
    void clashingPackageNamesAreRefusedBeforeTheDialog();
    void cancelOrCloseLeavesEverythingUntouched();
    void fullRunBuildsTheArchiveAnew();
    void packageNamesFollowTheFirstDot();

    void failureStopsCleansUpAndKeepsTheSelection_data();
    void failureStopsCleansUpAndKeepsTheSelection();
    void readOnlyOldArchiveIsKept();
    void secondCopyIsToldAndNothingIsLost();

    void dateTimeText();

private:
    QString Source(const QString& name) const { return m_sources.filePath(name); }
    QString Work() const { return m_temp.filePath("trash"); }
    FakeWindow ReadyWindow(const QStringList& entries);

    QTemporaryDir m_temp;     // stands for the system's temporary folder
    QTemporaryDir m_sources;  // the workbooks
    QTemporaryDir m_out;      // where archives go
};

void TestPackRun::initTestCase()
{
    qputenv("TMPDIR", QFile::encodeName(m_temp.path()));
    QCOMPARE(QDir::tempPath(), m_temp.path());
}

void TestPackRun::init()
{
    var::LoginAccepted = false;
    var::LoginUserID.clear();
    var::LoginPassword.clear();
    zip::SetProgramFolder(QString());
    for (const char* name : {"a.xls", "b b.xls", "แบบฟอร์ม.xls"})
        WriteFile(Source(QString::fromUtf8(name)), QByteArray(name).repeated(1000));
}

void TestPackRun::cleanup()
{
    for (QTemporaryDir* dir : {&m_temp, &m_sources, &m_out}) {
        QDir(dir->path()).removeRecursively();
        QDir().mkpath(dir->path());
    }
}

FakeWindow TestPackRun::ReadyWindow(const QStringList& entries)
{
    FakeWindow window;
    window.list = entries;
    window.text1 = m_sources.path();
    window.text2 = m_out.filePath("hand over.zip");
    window.login = [] { Accept("CLERK01", "SECRET"); };
    return window;
}

void TestPackRun::checksComeFirstAndInOrder()
{
    FakeWindow window;  // no files and no destination: the list is checked first
    packing::PackRun(window);
    QCOMPARE(window.messages.size(), 1);
    QCOMPARE(window.messages[0].prompt, NoFiles);
    QCOMPARE(window.messages[0].buttons, packing::vbExclamation);
    QCOMPARE(window.messages[0].title, QStringLiteral("ข้อผิดพลาด"));

    window = FakeWindow();
    window.list = QStringList{"a.xls"};
    window.text2 = "   ";
    packing::PackRun(window);
    QCOMPARE(window.log, QStringList{"message"});  // no dialog, no lamp change
    QCOMPARE(window.messages[0].prompt, NoDestination);
}

void TestPackRun::clashingPackageNamesAreRefusedBeforeTheDialog()
{
    FakeWindow window = ReadyWindow({"a.xls", "report.2019.xls", "b.xls", "A.xlsx", "report.2020.xls"});
    packing::PackRun(window);
    QCOMPARE(window.log, QStringList{"message"});
    QCOMPARE(window.messages[0].title, QStringLiteral("ข้อผิดพลาด"));
    QCOMPARE(window.messages[0].buttons, packing::vbExclamation);
    QVERIFY(window.messages[0].prompt.contains("a.xls, A.xlsx\nreport.2019.xls, report.2020.xls"));
    QVERIFY(!window.messages[0].prompt.contains("b.xls"));
    QVERIFY(!QFileInfo::exists(Work()));
    QCOMPARE(window.list.size(), 5);
}

void TestPackRun::cancelOrCloseLeavesEverythingUntouched()
{
    WriteFile(m_out.filePath("hand over.zip"), "an older archive");

    // The dialog closed with its close box after an earlier accepted run: the
    // flag was cleared before showing, so the run stops.
    Accept("EARLIER", "EARLIER");
    FakeWindow closed = ReadyWindow({"a.xls"});
    closed.login = [] {};
    packing::PackRun(closed);
    QCOMPARE(closed.log, QStringList{"login"});

    FakeWindow cancelled = ReadyWindow({"a.xls"});
    cancelled.login = [] { var::LoginAccepted = false; };
    packing::PackRun(cancelled);
    QCOMPARE(cancelled.log, QStringList{"login"});

    FakeWindow notConfirmed = ReadyWindow({"a.xls"});
    notConfirmed.answers = {packing::vbCancel};
    packing::PackRun(notConfirmed);
    QCOMPARE(notConfirmed.log, (QStringList{"login", "message"}));
    QCOMPARE(notConfirmed.messages[0].prompt, Confirm);
    QCOMPARE(notConfirmed.messages[0].buttons, packing::vbQuestionOKCancel);
    QCOMPARE(notConfirmed.messages[0].title, QStringLiteral("Quillfold"));

    QCOMPARE(ReadFile(m_out.filePath("hand over.zip")), QByteArray("an older archive"));
    QVERIFY(!QFileInfo::exists(Work()));
}

void TestPackRun::fullRunBuildsTheArchiveAnew()
{
    // An old archive with an entry of its own is replaced, not added to.
    const QString archive = m_out.filePath("hand over.zip");
    WriteFile(m_out.filePath("old.enc"), "old");
    QProcess::execute("zip", {"-q", "-j", archive, m_out.filePath("old.enc")});
    QCOMPARE(EntriesOf(archive), QStringList{"old.enc"});

    const QStringList entries{"b b.xls", QString::fromUtf8("แบบฟอร์ม.xls"), "a.xls"};
    FakeWindow window = ReadyWindow(entries);
    packing::PackRun(window);

    QCOMPARE(window.messages.size(), 2);
    QVERIFY2(window.messages[1].buttons == packing::vbInformation, qPrintable(window.messages[1].prompt));
    QCOMPARE(window.messages[1].title, QStringLiteral("Quillfold"));
    QVERIFY(window.label3.startsWith("finished "));
    QCOMPARE(window.messages[1].prompt, window.label3);

    // One package per entry, in order, each exactly what the writer makes.
    const QStringList packages{"b b.enc", QString::fromUtf8("แบบฟอร์ม.enc"), "a.enc"};
    QCOMPARE(EntriesOf(archive), packages);
    QDir().mkpath(m_out.filePath("expected"));
    for (int i = 0; i < entries.size(); ++i) {
        const QString expected = m_out.filePath("expected/" + packages[i]);
        security::WritePackageFile(Source(entries[i]), expected, "CLERK01", "SECRET");
        QCOMPARE(EntryContent(archive, packages[i]), ReadFile(expected));
    }

    // Locked while packing, in the order of the lamp and then the buttons.
    const QStringList expectedLog{
        "login", "message", "imgOn hidden", "imgHold shown", "imgOff hidden", "cmdBrowseSrc disabled",
        "cmdBrowseDest disabled", "cmdRun disabled", "cmdExit disabled", "imgOn shown", "imgHold hidden",
        "imgOff hidden", "cmdBrowseSrc enabled", "cmdBrowseDest enabled", "cmdRun enabled", "cmdExit enabled",
        "message"};
    QCOMPARE(window.log, expectedLog);
    QCOMPARE(window.lockedWhileProcessing.size(), 3);
    QCOMPARE(window.lockedWhileProcessing[1], QString::fromUtf8("processing แบบฟอร์ม.xls"));

    // Cleared and cleaned up; the credentials stay.
    QVERIFY(window.text1.isEmpty() && window.text2.isEmpty() && window.list.isEmpty());
    QVERIFY(!QFileInfo::exists(Work()));
    QCOMPARE(var::LoginUserID, QByteArray("CLERK01"));
    QCOMPARE(QDir(m_sources.path()).entryList(QDir::Files).size(), 3);  // sources untouched

    // Run again at once: nothing is chosen any more.
    packing::PackRun(window);
    QCOMPARE(window.messages.last().prompt, NoFiles);
}

void TestPackRun::packageNamesFollowTheFirstDot()
{
    WriteFile(Source("README"), "no dot");
    WriteFile(Source(".hidden"), "leading dot");
    FakeWindow window = ReadyWindow({"README", ".hidden"});
    packing::PackRun(window);
    QCOMPARE(EntriesOf(m_out.filePath("hand over.zip")), (QStringList{"README.enc", ".enc"}));
}

void TestPackRun::failureStopsCleansUpAndKeepsTheSelection_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("number");
    QTest::newRow("second source vanished") << "source" << err::FileNotFound;
    QTest::newRow("archive cannot be written") << "archive" << err::ArchiverFailed;
    QTest::newRow("zip missing") << "zip" << err::FileNotFound;
    QTest::newRow("zip fails") << "zipfails" << err::ArchiverFailed;
    QTest::newRow("work folder is a file") << "work" << err::PathNotFound;
}

void TestPackRun::failureStopsCleansUpAndKeepsTheSelection()
{
    QFETCH(QString, failure);
    QFETCH(int, number);
    const QStringList entries{"a.xls", "b b.xls", "gone.xls"};
    WriteFile(Source("gone.xls"), "here when chosen");
    FakeWindow window = ReadyWindow(entries);
    QString concerned = window.text2;
    if (failure == "source") {
        QFile::remove(Source("gone.xls"));
        concerned = Source("gone.xls");
    } else if (failure == "archive") {
        window.text2 = m_out.filePath("no such folder/out.zip");
        concerned = window.text2;
    } else if (failure == "zip") {
        zip::SetProgramFolder(m_out.filePath("empty"));
        concerned = m_out.filePath("empty/bin/zip");
    } else if (failure == "zipfails") {
        const QString folder = m_out.filePath("standin");
        QDir().mkpath(folder + "/bin");
        QFile::link(QCoreApplication::applicationDirPath() + "/standin", folder + "/bin/zip");
        zip::SetProgramFolder(folder);
        qputenv("QUILLFOLD_STANDIN", "exit:14");
    } else if (failure == "work") {
        WriteFile(Work(), "a file where the work folder goes");
        concerned = Work() + "/a.enc";
    }
    packing::PackRun(window);
    qunsetenv("QUILLFOLD_STANDIN");

    // One exclamation message in the form of a run-time error report.
    QCOMPARE(window.messages.size(), 2);
    const Message& report = window.messages[1];
    QCOMPARE(report.buttons, packing::vbExclamation);
    QVERIFY2(report.prompt.startsWith(QStringLiteral("Run-time error '%1':").arg(number)), qPrintable(report.prompt));
    QVERIFY2(report.prompt.contains(concerned), qPrintable(report.prompt));
    QVERIFY(window.label3.startsWith("failed: "));

    // Nothing half-built is left, and the operator can correct and run again.
    QVERIFY(!QFileInfo::exists(window.text2));
    if (failure == "work")
        QVERIFY(QFileInfo(Work()).isFile());
    else
        QVERIFY(!QFileInfo::exists(Work()));
    QCOMPARE(window.list, entries);
    QCOMPARE(window.text1, m_sources.path());
    QVERIFY(window.visible[Control::imgOff] && !window.visible[Control::imgHold] && !window.visible[Control::imgOn]);
    for (Control button : {Control::cmdBrowseSrc, Control::cmdBrowseDest, Control::cmdRun, Control::cmdExit})
        QVERIFY(window.enabled[button]);
    QVERIFY(!QFileInfo::exists(Source("gone.enc")));  // nothing created among the sources
    if (failure == "source")
        QVERIFY(!QFileInfo::exists(Source("gone.xls")));
}

void TestPackRun::readOnlyOldArchiveIsKept()
{
    const QString archive = m_out.filePath("hand over.zip");
    WriteFile(archive, "protected");
    QVERIFY(QFile::setPermissions(archive, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    FakeWindow window = ReadyWindow({"a.xls"});
    packing::PackRun(window);
    QVERIFY(window.messages.last().prompt.startsWith("Run-time error '75':"));
    QCOMPARE(ReadFile(archive), QByteArray("protected"));
    QVERIFY(window.visible[Control::imgOff]);
}

void TestPackRun::secondCopyIsToldAndNothingIsLost()
{
    // Another copy is packing: it holds the lock and has a package in the work folder.
    QLockFile other(m_temp.filePath("trash.lock"));
    QVERIFY(other.tryLock());
    QDir().mkpath(Work());
    WriteFile(Work() + "/theirs.enc", "the other copy's package");

    FakeWindow window = ReadyWindow({"a.xls"});
    WriteFile(window.text2, "an older archive");
    packing::PackRun(window);
    QCOMPARE(window.messages.size(), 2);
    QVERIFY(window.messages[1].prompt.contains(QStringLiteral("กำลังแพ็กไฟล์อยู่")));
    QCOMPARE(window.messages[1].title, QStringLiteral("ข้อผิดพลาด"));
    QCOMPARE(ReadFile(Work() + "/theirs.enc"), QByteArray("the other copy's package"));
    QCOMPARE(ReadFile(window.text2), QByteArray("an older archive"));
    QVERIFY(!window.log.contains("imgHold shown"));

    other.unlock();
    packing::PackRun(window);
    QVERIFY(window.label3.startsWith("finished "));
}

void TestPackRun::dateTimeText()
{
    const QDate day(2026, 12, 7);
    QCOMPARE(packing::DateTimeText(QDateTime(day, QTime(14, 5, 9)), QLocale("en_US")),
             QStringLiteral("12/7/26 2:05:09 PM"));
    QCOMPARE(packing::DateTimeText(QDateTime(day, QTime(0, 0)), QLocale("en_US")), QStringLiteral("12/7/26"));
    QCOMPARE(packing::DateTimeText(QDateTime(day, QTime(0, 0, 1)), QLocale("de_DE")),
             QStringLiteral("07.12.26 00:00:01"));
    QCOMPARE(packing::DateTimeText(QDateTime(day, QTime(9, 30, 0)), QLocale("th_TH")),
             QString::fromUtf8("7/12/26 9 นาฬิกา 30 นาที 00 วินาที"));
}

QTEST_GUILESS_MAIN(TestPackRun)
#include "tst_packrun.moc"
