// The pack run against a fake window: checks, credentials, confirmation, the
// archive it builds, the window's states, and what every run leaves on disk.
#include "FakeWindow.h"
#include "RefusalCases.h"
#include "TestFiles.h"
#include "base/MessageBox.h"
#include "base/RuntimeError.h"
#include "credentials/var.h"
#include "format/security.h"
#include "packing/Explain.h"
#include "packing/PackRun.h"
#include "packing/zip.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <optional>
#ifndef Q_OS_WIN
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace testfiles;

using packing::Control;
using namespace fakewindow;

// What goes wrong in a run, once it has been confirmed.
enum class Fault {
    WorkbookVanishes,     // the third workbook is gone when its turn comes
    ZipMissing,           // no bin/zip beside the program
    ZipStandIn,           // a stand-in zip that behaves as the row's `standin` says
    DestinationLocked,    // the destination's folder is made read-only after the check
    DestinationFull,      // the destination's folder on a file system of 1 MiB
    WorkAreaFull,         // the work area on a file system of 1 MiB
    FileSizeLimit,        // a package past the account's file-size limit
    WorkAreaIsFile,
    WorkAreaIsLink,
    WorkAreaOpenToOthers,
    WorkAreaOfAnother,
    WorkbookBecomesPipe,  // swapped for a pipe as it is opened
    WorkbookUnreadable,   // refused as it is opened
    FlushFails,           // the disk fails to flush the new archive
    DestinationMoved,     // the destination's folder is moved away during the run
};
Q_DECLARE_METATYPE(Fault)

namespace {
const QString NoFiles = QStringLiteral("กรุณาเลือกไฟล์");
const QString NoDestination = QStringLiteral("กรุณาเลือกปลายทาง");
const QString Confirm = QStringLiteral("กรุณายืนยันเพื่อเริ่มทำงาน");
const QByteArray OldArchive = "an older archive";

}  // namespace

class TestPackRun : public RefusalCases {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void checksComeFirstAndInOrder();
    void refusedBeforeTheDialog_data();
    void refusedBeforeTheDialog();
    void cancelOrCloseLeavesEverythingUntouched();
    void fullRunBuildsTheArchiveAnew();
    void packageNamesFollowTheFirstDot();

    void failureKeepsTheOldArchiveAndLeavesNothing_data();
    void failureKeepsTheOldArchiveAndLeavesNothing();
    void runsFinishWhereTheyOnceLostFiles_data();
    void runsFinishWhereTheyOnceLostFiles();
    void progressAcrossThreeWorkbooks();

    void dateTimeText();

protected:
    // The shared refusals, through the window's pack run.
    Outcome Pack(const QString& folder, const QStringList& workbooks, const QString& destination) override
    {
        FakeWindow window;
        window.list = workbooks;
        window.text1 = folder;
        window.text2 = destination;
        window.LogInAs("CLERK01", "SECRET");
        packing::PackRun(window);
        const bool refused = window.log == QStringList{"message"} && window.messages[0].title == msgbox::ErrorTitle &&
                             window.messages[0].buttons == msgbox::vbExclamation;
        QStringList said;
        for (const Message& message : window.messages)
            said << message.prompt;
        return {refused ? 2 : 0, said.join(u'\n')};
    }
    QString Words(err::Reason reason, const QStringList& particulars) override
    {
        return packing::Refusal(reason, particulars);
    }

private:
    QString Source(const QString& name) const { return m_sources.filePath(name); }
    QString Trash() const { return m_temp.filePath("trash"); }
    QString WorkArea() const { return m_temp.filePath(QStringLiteral("quillfold-") + platform::UserTag()); }
    QString Destination() const { return m_out.filePath("hand over.zip"); }
    FakeWindow ReadyWindow(const QStringList& entries);
    // What a run may have left: anything in the work area, and Quillfold's
    // temporary folders beside the destination.
    QStringList Leftovers(const QString& destinationFolder) const;
    void VerifyForeignFilesUntouched();
    // Mounts a file system of 1 MiB at the folder (root only); false when it cannot.
    bool MountSmall(const QString& folder);
    // Makes the folder unwritable, even for root; an empty path undoes it.
    // False where the system cannot (Windows).
    bool ReadOnlyFolder(const QString& folder);

    QTemporaryDir m_temp;     // stands for the system's temporary folder
    QTemporaryDir m_sources;  // the workbooks
    QTemporaryDir m_out;      // where archives go
    QStringList m_mounted;    // file systems mounted for a test
    QString m_locked;         // a folder made read-only for a test
};

void TestPackRun::initTestCase()
{
    UseTempFolder(m_temp.path());
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
    WriteFile(Destination(), OldArchive);

    // Files of others where the work folder used to be: a "trash" folder with
    // someone's workbook and package in it, and a lock left by another copy.
    QDir().mkpath(Trash());
    WriteFile(Trash() + "/keep.xls", "kept by someone");
    WriteFile(Trash() + "/a.enc", "someone's a.enc");
    WriteFile(m_temp.filePath("trash.lock"), "1\nquillfold\nelsewhere\n");
}

void TestPackRun::cleanup()
{
    ReadOnlyFolder(QString());
#ifndef Q_OS_WIN
    for (const QString& mounted : m_mounted)
        umount2(QFile::encodeName(mounted).constData(), MNT_DETACH);
#endif
    m_mounted.clear();
    qunsetenv("QUILLFOLD_STANDIN");
    for (const QString& link : {Trash(), WorkArea()})
        RemoveLink(link);
    for (QTemporaryDir* dir : {&m_temp, &m_sources, &m_out}) {
        if (Posix)
            QProcess::execute("chmod", {"-R", "u+rwx", dir->path()});
        QDir(dir->path()).removeRecursively();
        QDir().mkpath(dir->path());
    }
}

FakeWindow TestPackRun::ReadyWindow(const QStringList& entries)
{
    FakeWindow window;
    window.list = entries;
    window.text1 = m_sources.path();
    window.text2 = Destination();
    window.LogInAs("CLERK01", "SECRET");
    return window;
}

QStringList TestPackRun::Leftovers(const QString& destinationFolder) const
{
    QStringList left;
    const auto all = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
    for (const QString& name : QDir(WorkArea()).entryList(all))
        left << WorkArea() + u'/' + name;
    for (const QString& name : QDir(destinationFolder).entryList({".quillfold*"}, all))
        left << destinationFolder + u'/' + name;
    return left;
}

bool TestPackRun::MountSmall(const QString& folder)
{
#ifdef Q_OS_WIN
    Q_UNUSED(folder);
    return false;
#else
    if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, "size=1m,mode=0700") != 0)
        return false;
    m_mounted << folder;
    return true;
#endif
}

bool TestPackRun::ReadOnlyFolder(const QString& folder)
{
    if (!m_locked.isEmpty()) {
#ifndef Q_OS_WIN
        if (m_mounted.contains(m_locked))
            ::mount(nullptr, QFile::encodeName(m_locked).constData(), nullptr, MS_REMOUNT | MS_BIND, nullptr);
#endif
        QFile::setPermissions(m_locked, QFileDevice::Permissions(0x7700));
    }
    m_locked = folder;
    if (folder.isEmpty())
        return true;
#ifdef Q_OS_WIN
    return false;  // a folder's read-only attribute does not stop writing in it
#else
    // Root writes through any permission bits: a read-only bind mount stops it.
    const QByteArray path = QFile::encodeName(folder);
    if (::geteuid() == 0 && ::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) == 0) {
        m_mounted << folder;
        return ::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    }
    return QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
#endif
}

void TestPackRun::VerifyForeignFilesUntouched()
{
    QCOMPARE(ReadFile(Trash() + "/keep.xls"), QByteArray("kept by someone"));
    QCOMPARE(ReadFile(Trash() + "/a.enc"), QByteArray("someone's a.enc"));
    QCOMPARE(ReadFile(m_temp.filePath("trash.lock")), QByteArray("1\nquillfold\nelsewhere\n"));
}

void TestPackRun::checksComeFirstAndInOrder()
{
    FakeWindow window;  // no files and no destination: the list is checked first
    packing::PackRun(window);
    QCOMPARE(window.messages.size(), 1);
    QCOMPARE(window.messages[0].prompt, NoFiles);
    QCOMPARE(window.messages[0].buttons, msgbox::vbExclamation);
    QCOMPARE(window.messages[0].title, QStringLiteral("ข้อผิดพลาด"));

    window = FakeWindow();
    window.list = QStringList{"a.xls"};
    window.text2 = "   ";
    packing::PackRun(window);
    QCOMPARE(window.log, QStringList{"message"});  // no dialog, no lamp change
    QCOMPARE(window.messages[0].prompt, NoDestination);
}

void TestPackRun::refusedBeforeTheDialog_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("destination");  // relative to the sources; empty: the usual one
    QTest::addColumn<QStringList>("named");
    // (What quillfold-pack refuses alike is in the table both run: RefusalCases.)
    // Names that would not come back to a recipient as they are.
    QTest::newRow("control characters and a backslash in names")
        << QStringList{"a\tb.xls", "x\ny.xls", "p\\q.xls"} << QString()
        << QStringList{"a\\x09b.xls \u2014 ชื่อมีอักขระควบคุม", "x\\x0ay.xls", "p\\q.xls \u2014 ชื่อมีเครื่องหมาย \\"};
    QTest::newRow("names Windows cannot hold")
        << QStringList{"CON.xls", "com1.2024.xls", "what?.xls", "x<y>.xls", "p|q.xls", "q\"t.xls", "report."} << QString()
        << QStringList{"CON.xls \u2014 ชื่อจนถึงจุดแรกเป็นชื่ออุปกรณ์ของ Windows", "com1.2024.xls", "what?.xls \u2014 ชื่อมีอักขระที่ Windows",
                       "x<y>.xls", "p|q.xls", "q\"t.xls", "report. \u2014 ชื่อลงท้ายด้วยจุดหรือช่องว่าง"};
    // The environment: a temporary folder that is missing or cannot be written.
    QTest::newRow("TMPDIR names a missing folder") << QStringList{"a.xls"} << QString()
                                                   << QStringList{"TMPDIR", "/no/such/folder", "ยกเลิกค่า TMPDIR"};
    QTest::newRow("TMPDIR on a read-only file system") << QStringList{"a.xls"} << QString()
                                                       << QStringList{"อ่านได้อย่างเดียว", "ตั้งค่า TMPDIR"};
}

void TestPackRun::refusedBeforeTheDialog()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, destination);
    QFETCH(QStringList, named);
    QStringList written;  // all of them, but where the system cannot hold a name (Windows: CON, what?.xls ...)
    for (const QString& entry : entries) {
        if (QFile file(Source(entry)); file.open(QIODevice::WriteOnly) && file.write(entry.toUtf8()) == entry.toUtf8().size())
            written << entry;
    }
    QVERIFY(!Posix || written == entries);
    const QByteArray tag = QTest::currentDataTag();
    if (!Posix && (tag.contains("backslash") || tag.contains("TMPDIR")))
        QSKIP("Windows has no backslashes in names, no TMPDIR");
    const QByteArray temporary = qgetenv("TMPDIR");
    const auto restoreTemporary = qScopeGuard([&] { qputenv("TMPDIR", temporary); });
    if (tag == "TMPDIR names a missing folder") {
        qputenv("TMPDIR", "/no/such/folder");
    } else if (tag == "TMPDIR on a read-only file system") {
        if (!Root() || !ReadOnlyFolder(m_temp.path()))
            QSKIP("a read-only file system here needs root");
    }
    FakeWindow window = ReadyWindow(entries);
    if (!destination.isEmpty())
        window.text2 = m_sources.path() + u'/' + destination;
    packing::PackRun(window);
    QCOMPARE(window.log, QStringList{"message"});
    QCOMPARE(window.messages[0].title, QStringLiteral("ข้อผิดพลาด"));
    QCOMPARE(window.messages[0].buttons, msgbox::vbExclamation);
    for (const QString& name : named)
        QVERIFY2(window.messages[0].prompt.contains(name), qPrintable(window.messages[0].prompt));
    for (const QString& entry : written)
        QCOMPARE(ReadFile(Source(entry)), entry.toUtf8());
    QVERIFY(Leftovers(m_out.path()).isEmpty());
    QCOMPARE(window.list.size(), entries.size());
}

void TestPackRun::cancelOrCloseLeavesEverythingUntouched()
{
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
    notConfirmed.answers = {msgbox::vbCancel};
    packing::PackRun(notConfirmed);
    QCOMPARE(notConfirmed.log, (QStringList{"login", "message"}));
    QCOMPARE(notConfirmed.messages[0].prompt, Confirm);
    QCOMPARE(notConfirmed.messages[0].buttons, msgbox::vbQuestionOKCancel);
    QCOMPARE(notConfirmed.messages[0].title, QStringLiteral("Quillfold"));

    QCOMPARE(ReadFile(Destination()), OldArchive);
    QVERIFY(Leftovers(m_out.path()).isEmpty());
}

void TestPackRun::fullRunBuildsTheArchiveAnew()
{
    // An old archive with an entry of its own is replaced, not added to.
    const QString archive = Destination();
    QFile::remove(archive);
    WriteFile(m_out.filePath("old.enc"), "old");
    Zip({"-q", "-j", archive, m_out.filePath("old.enc")});
    QCOMPARE(EntriesOf(archive), QStringList{"old.enc"});
#ifndef Q_OS_WIN
    // Shared with a group (another than the packer's, where allowed), and
    // marked set-user-ID, which a new archive must never take over.
    const gid_t group = ::getegid() == 0 ? 100 : ::getegid();
    QCOMPARE(::chown(QFile::encodeName(archive).constData(), uid_t(-1), group), 0);
    QCOMPARE(::chmod(QFile::encodeName(archive).constData(), 04640), 0);
#else
    // An access list of its own, not the folder's.
    const QString ownList = QStringLiteral("D:P(A;;FA;;;WD)(A;;FR;;;BU)");
    QVERIFY(SetAccessList(archive, ownList));
    const QString accessBefore = AccessList(archive);
    WriteFile(m_out.filePath("fresh.enc"), "a file as the folder makes it");
    QVERIFY2(accessBefore != AccessList(m_out.filePath("fresh.enc")), qPrintable(accessBefore));
#endif

    const QStringList entries{"b b.xls", QString::fromUtf8("แบบฟอร์ม.xls"), "a.xls"};
    FakeWindow window = ReadyWindow(entries);
    RecordingProbe probe;
    packing::PackRun(window);
    // Flushed to disk, renamed into place, the rename flushed too.
    QVERIFY2(probe.DurablyNamed(archive), qPrintable(probe.Calls().join(u'\n') + u'\n' + window.messages.last().prompt));

    QCOMPARE(window.messages.size(), 2);
    QVERIFY2(window.messages[1].buttons == msgbox::vbInformation, qPrintable(window.messages[1].prompt));
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
#ifndef Q_OS_WIN
    // The new archive is shared as the one it replaced was, without set-ID bits.
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(archive).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, 0640u);
    QCOMPARE(info.st_gid, group);

    // Tools that follow the ZIP rules read the Thai name by name: the name is
    // flagged as UTF-8; and entries carry an ordinary file mode, not owner-only.
    QProcess python;
    python.start("python3", {"-c",
                             "import sys, zipfile\n"
                             "z = zipfile.ZipFile(sys.argv[1])\n"
                             "for n in sys.argv[2:]:\n"
                             "    i = z.getinfo(n)\n"
                             "    z.read(i)\n"
                             "    print(n, i.flag_bits & 0x800, oct(i.external_attr >> 16 & 0o777))\n",
                             archive, "a.enc", QString::fromUtf8("แบบฟอร์ม.enc")});
    QVERIFY(python.waitForFinished());
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const QString mode = "0o" + QString::number(0666 & ~mask, 8);
    QCOMPARE(QString::fromUtf8(python.readAllStandardOutput()),
             QString::fromUtf8("a.enc 0 %1\nแบบฟอร์ม.enc 2048 %1\n").arg(mode));
    QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
#else
    QCOMPARE(AccessList(archive), accessBefore);  // as closed as the one it replaced
#endif

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
    QVERIFY(Leftovers(m_out.path()).isEmpty());
    QCOMPARE(var::LoginUserID, QByteArray("CLERK01"));
    QCOMPARE(QDir(m_sources.path()).entryList(QDir::Files).size(), 3);  // sources untouched

    // Run again at once: nothing is chosen any more.
    packing::PackRun(window);
    QCOMPARE(window.messages.last().prompt, NoFiles);
}

void TestPackRun::packageNamesFollowTheFirstDot()
{
    WriteFile(Source("README"), "no dot");
    WriteFile(Source("report.2019.xls"), "two dots");
    FakeWindow window = ReadyWindow({"README", "report.2019.xls"});
    packing::PackRun(window);
    QCOMPARE(EntriesOf(Destination()), (QStringList{"README.enc", "report.enc"}));
}

void TestPackRun::failureKeepsTheOldArchiveAndLeavesNothing_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QByteArray>("standin");  // what a stand-in zip does (QUILLFOLD_STANDIN)
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("thai");  // the sentence that opens the box
    QTest::addColumn<QString>("said");  // zip's own words in it, if any
    const QString vanished = QString::fromUtf8("ไม่พบไฟล์ \"gone.xls\" แล้ว");
    const QString zipFailed = QString::fromUtf8("โปรแกรม zip ทำงานไม่สำเร็จขณะเพิ่มไฟล์ \"a.xls\"");
    const QString destinationFull = QString::fromUtf8("ดิสก์ของโฟลเดอร์ปลายทาง");
    const QString destinationLocked = QString::fromUtf8("ไม่สามารถเขียนไฟล์ในโฟลเดอร์ปลายทาง");
    const QString workAreaFull = QString::fromUtf8("พื้นที่ดิสก์สำหรับไฟล์ชั่วคราวเต็ม");
    const QString workAreaUnsafe = QString::fromUtf8("โฟลเดอร์งานชั่วคราว");
    QTest::newRow("third workbook vanished") << Fault::WorkbookVanishes << QByteArray() << err::FileNotFound << vanished << QString();
    QTest::newRow("zip missing") << Fault::ZipMissing << QByteArray() << err::FileNotFound << QString::fromUtf8("ไม่พบโปรแกรม zip") << QString();
    QTest::newRow("zip fails") << Fault::ZipStandIn << QByteArray("exit:14") << err::ArchiverFailed << zipFailed
                               << "standin error: asked to fail with 14";
    QTest::newRow("zip says the disk is full") << Fault::ZipStandIn << QByteArray("say:15:zip I/O error: No space left on device")
                                               << err::ArchiverFailed << destinationFull
                                               << "zip I/O error: No space left on device";
    QTest::newRow("zip cannot create the archive")
        << Fault::ZipStandIn << QByteArray("say:15:zip error: Could not create output file (/x/.quillfold/archive.zip)") << err::ArchiverFailed
        << destinationLocked << "zip error: Could not create output file";
    QTest::newRow("destination folder locked after the check") << Fault::DestinationLocked << QByteArray() << err::PermissionDenied
                                                               << destinationLocked << QString();
    QTest::newRow("destination disk full") << Fault::DestinationFull << QByteArray() << err::ArchiverFailed << destinationFull
                                           << "No space left on device";
    QTest::newRow("work area full") << Fault::WorkAreaFull << QByteArray() << err::DiskFull << workAreaFull << QString();
    QTest::newRow("work area is a file") << Fault::WorkAreaIsFile << QByteArray() << err::PermissionDenied << workAreaUnsafe << QString();
    QTest::newRow("work area is a symlink") << Fault::WorkAreaIsLink << QByteArray() << err::PermissionDenied << workAreaUnsafe << QString();
    QTest::newRow("work area open to others") << Fault::WorkAreaOpenToOthers << QByteArray() << err::PermissionDenied << workAreaUnsafe << QString();
    QTest::newRow("work area of another user") << Fault::WorkAreaOfAnother << QByteArray() << err::PermissionDenied << workAreaUnsafe
                                               << "TMPDIR";
    QTest::newRow("workbook swapped for a pipe") << Fault::WorkbookBecomesPipe << QByteArray() << err::PathFileAccess
                                                 << QString::fromUtf8("\"gone.xls\" ไม่ใช่ไฟล์ที่แพ็กได้")
                                                 << "not a regular file";
    QTest::newRow("workbook unreadable") << Fault::WorkbookUnreadable << QByteArray() << err::PermissionDenied
                                         << QString::fromUtf8("ไม่มีสิทธิ์อ่านไฟล์ \"gone.xls\"") << QString();
    QTest::newRow("the disk fails to flush the new archive")
        << Fault::FlushFails << QByteArray() << err::DeviceIO << QString::fromUtf8("เขียนไฟล์ ZIP ใหม่ลงดิสก์ไม่สำเร็จ") << "Input/output error";
    QTest::newRow("a package past the file-size limit")
        << Fault::FileSizeLimit << QByteArray() << err::FileTooLarge << QString::fromUtf8("ไฟล์ \"gone.enc\" จะใหญ่เกินขนาดไฟล์ที่บัญชีผู้ใช้นี้เขียนได้")
        << "File too large for this account's file-size limit";
    QTest::newRow("the destination's folder moved away during the run")
        << Fault::DestinationMoved << QByteArray() << err::ArchiverFailed << destinationLocked << QString();
}

void TestPackRun::failureKeepsTheOldArchiveAndLeavesNothing()
{
    QFETCH(Fault, fault);
    QFETCH(QByteArray, standin);
    QFETCH(int, number);
    QFETCH(QString, thai);
    QFETCH(QString, said);
    const QStringList entries{"a.xls", "b b.xls", "gone.xls"};
    WriteFile(Source("gone.xls"), "here when chosen");
    FakeWindow window = ReadyWindow(entries);
    QString concerned = window.text2;
    const QString victim = m_out.filePath("victim");
    QDir().mkpath(victim);
    WriteFile(victim + "/a.enc", "victim's file");
#ifndef Q_OS_WIN
    rlimit savedLimit{};
    getrlimit(RLIMIT_FSIZE, &savedLimit);
#endif
    std::optional<RecordingProbe> probe;
    // Once the checks are done: the probe's call that makes the fault happen.
    const auto whenOpened = [&](std::function<int(const QString& path)> fail) {
        probe.emplace();
        probe->fail = [fail](platform::Call call, const QString& path) {
            return call == platform::Call::OpenForReading && path.endsWith("gone.xls") ? fail(path) : 0;
        };
    };
    switch (fault) {
    case Fault::WorkbookBecomesPipe:
        if (!Posix)
            QSKIP("Windows has no pipes in the file system");
        whenOpened([](const QString& path) {
            QFile::remove(path);
#ifdef Q_OS_WIN
            return EIO;
#else
            return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0 ? 0 : EIO;
#endif
        });
        concerned = Source("gone.xls");
        break;
    case Fault::WorkbookUnreadable:
        whenOpened([](const QString&) { return EACCES; });
        concerned = Source("gone.xls");
        break;
    case Fault::FlushFails:
        probe.emplace();
        probe->fail = [](platform::Call call, const QString&) { return call == platform::Call::SyncFile ? EIO : 0; };
        break;
    case Fault::WorkbookVanishes:
        QFile::remove(Source("gone.xls"));
        concerned = Source("gone.xls");
        break;
    case Fault::ZipMissing:
        zip::SetProgramFolder(m_out.filePath("empty"));
        concerned = platform::ProgramFile(m_out.filePath("empty/bin/zip"));
        break;
    case Fault::ZipStandIn:
        zip::SetProgramFolder(StandInFolder(m_out.filePath("standin")));
        qputenv("QUILLFOLD_STANDIN", standin);
        break;
    case Fault::DestinationLocked:
        if (!Posix)
            QSKIP("a folder's read-only attribute does not stop writing in it on Windows");
        // The folder can be written when Run is pressed, and no longer once packing starts.
        window.login = [this] {
            Accept("CLERK01", "SECRET");
            ReadOnlyFolder(m_out.path());
        };
        break;
    case Fault::DestinationFull:
        WriteFile(Source("a.xls"), RandomBytes(3 << 20));
        if (!MountSmall(m_out.path()))
            QSKIP("a small file system for the destination needs root (and POSIX)");
        WriteFile(Destination(), OldArchive);
        QDir().mkpath(victim);
        WriteFile(victim + "/a.enc", "victim's file");
        break;
    case Fault::WorkAreaFull:
        WriteFile(Source("gone.xls"), QByteArray(3 << 20, 'x'));
        concerned = "gone.enc";
        QDir().mkpath(WorkArea());
        QFile::setPermissions(WorkArea(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        if (!MountSmall(WorkArea()))
            QSKIP("a small file system for the work area needs root (and POSIX)");
        break;
    case Fault::FileSizeLimit:
        if (!Posix)
            QSKIP("Windows has no file-size limit");
        // What the window's program does at its start: a file past the limit is an error, not a signal.
        WriteFile(Source("gone.xls"), QByteArray(3 << 20, 'x'));
        concerned = "gone.enc";
#ifndef Q_OS_WIN
        platform::ErrorsNotSignals();
        {
            rlimit limited = savedLimit;
            limited.rlim_cur = 1 << 20;
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        }
#endif
        break;
    case Fault::DestinationMoved:
        if (!Posix)
            QSKIP("Windows lets no one move a folder that the run holds open");
        // Moved (and moved back once the run is over) as the third workbook is read.
        whenOpened([this](const QString&) {
            QDir().rename(m_out.path(), m_out.path() + "-moved");
            return 0;
        });
        break;
    case Fault::WorkAreaIsFile:
        WriteFile(WorkArea(), "a file where the work area goes");
        concerned = WorkArea();
        break;
    case Fault::WorkAreaIsLink:
        if (!MakeLink(victim, WorkArea()))
            QSKIP("this system makes no symbolic links");
        concerned = WorkArea();
        break;
    case Fault::WorkAreaOpenToOthers:
        if (!Posix)
            QSKIP("Windows keeps who may change a folder in its access list, not in mode bits");
        QDir().mkpath(WorkArea());
        QVERIFY(QFile::setPermissions(WorkArea(), QFileDevice::Permissions(0x7777)));
        concerned = WorkArea();
        break;
    case Fault::WorkAreaOfAnother:
#ifndef Q_OS_WIN
        QDir().mkpath(WorkArea());
        if (::chown(QFile::encodeName(WorkArea()).constData(), 65534, 65534) != 0)
#endif
            QSKIP("only root can give a folder to another user (and POSIX)");
        concerned = WorkArea();
        break;
    }
    packing::PackRun(window);
    probe.reset();
#ifndef Q_OS_WIN
    setrlimit(RLIMIT_FSIZE, &savedLimit);
#endif
    if (fault == Fault::DestinationMoved)  // what the run made is gone from where the folder went
        QVERIFY(QDir().rename(m_out.path() + "-moved", m_out.path()));
    ReadOnlyFolder(QString());  // writable again

    // One exclamation box: the Thai sentence first, then the run-time error
    // report with zip's own words.
    QCOMPARE(window.messages.size(), 2);
    const Message& report = window.messages[1];
    QCOMPARE(report.buttons, msgbox::vbExclamation);
    QCOMPARE(report.title, QStringLiteral("Quillfold"));
    QVERIFY2(report.prompt.startsWith(thai), qPrintable(report.prompt));
    QVERIFY2(report.prompt.contains(QStringLiteral("\n\nRun-time error '%1':").arg(number)), qPrintable(report.prompt));
    QVERIFY2(report.prompt.contains(concerned), qPrintable(report.prompt));
    QVERIFY2(report.prompt.contains(said), qPrintable(report.prompt));
    QVERIFY2(window.label3.startsWith(QString::fromUtf8("แพ็กไม่สำเร็จ")), qPrintable(window.label3));
    QVERIFY(!window.progressShown);

    // The old archive is still there, byte for byte, and nothing of the run is left.
    QCOMPARE(ReadFile(Destination()), OldArchive);
    if (fault == Fault::WorkAreaIsFile)
        QCOMPARE(ReadFile(WorkArea()), QByteArray("a file where the work area goes"));
    else if (fault == Fault::WorkAreaIsLink)  // the link stays (Wine's links do not say where they lead)
        QVERIFY(!Posix ? QFileInfo(WorkArea()).isDir() : QFileInfo(WorkArea()).symLinkTarget() == victim);
    else
        QVERIFY2(Leftovers(m_out.path()).isEmpty(), qPrintable(Leftovers(m_out.path()).join(", ")));
    QStringList expectedOut{"hand over.zip", "victim"};
    if (fault == Fault::ZipStandIn)
        expectedOut.insert(1, "standin");
    QStringList inOut = QDir(m_out.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    inOut.removeAll("lost+found");
    QCOMPARE(inOut, expectedOut);
    QCOMPARE(QDir(victim).entryList(QDir::Files), QStringList{"a.enc"});
    QCOMPARE(ReadFile(victim + "/a.enc"), QByteArray("victim's file"));
    VerifyForeignFilesUntouched();

    // The operator can correct and run again.
    QCOMPARE(window.list, entries);
    QCOMPARE(window.text1, m_sources.path());
    QVERIFY(window.visible[Control::imgOff] && !window.visible[Control::imgHold] && !window.visible[Control::imgOn]);
    for (Control button : {Control::cmdBrowseSrc, Control::cmdBrowseDest, Control::cmdRun, Control::cmdExit})
        QVERIFY(window.enabled[button]);
    QVERIFY(!QFileInfo::exists(Source("gone.enc")));  // nothing created among the sources
}

void TestPackRun::runsFinishWhereTheyOnceLostFiles_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::newRow("others' trash folder and lock") << "plain";
    QTest::newRow("trash is a symlink") << "symlink";
    QTest::newRow("destination without extension") << "noextension";
    QTest::newRow("destination inside trash") << "destintrash";
    QTest::newRow("workbooks kept in trash") << "sourcesintrash";
    QTest::newRow("names of 250 bytes") << "longnames";
    QTest::newRow("leftovers of a crashed run") << "leftovers";
    QTest::newRow("destination is a symbolic link") << "destlink";
    QTest::newRow("under umask 002") << "umask002";
    QTest::newRow("under umask 000") << "umask000";
    QTest::newRow("no thread to be had") << "nothreads";
}

void TestPackRun::runsFinishWhereTheyOnceLostFiles()
{
    QFETCH(QString, scenario);
    QStringList entries{"a.xls", "b b.xls"};
    FakeWindow window = ReadyWindow(entries);
    QStringList mustStay;  // files of others that the run must not touch

    const QString victim = m_out.filePath("victim");
    if (scenario == "symlink") {
        QVERIFY(QDir().rename(Trash(), victim));
        if (!MakeLink(victim, Trash()))
            QSKIP("this system makes no symbolic links");
    } else if (scenario == "noextension") {
        WriteFile(m_out.filePath("handover.zip"), "an archive never chosen");
        window.text2 = m_out.filePath("handover");
        mustStay << m_out.filePath("handover.zip");
    } else if (scenario == "destlink") {
        // The link stays, and what it points to is replaced.
        QVERIFY(QFile::rename(Destination(), m_out.filePath("target.zip")));
        if (!MakeLink("target.zip", Destination()) || !QFileInfo(Destination()).isSymbolicLink())
            QSKIP("this system makes no symbolic links to files (Wine makes none)");
    } else if (scenario == "destintrash") {
        window.text2 = Trash() + "/out.zip";
    } else if (scenario == "sourcesintrash") {
        for (const QString& entry : entries)
            QVERIFY(QFile::copy(Source(entry), Trash() + u'/' + entry));
        window.text1 = Trash();
        mustStay << Trash() + "/a.xls" << Trash() + "/b b.xls";
    } else if (scenario == "longnames") {
        entries = QStringList{QString(246, u'x') + ".xls", QString(247, u'y') + ".xls"};
        for (const QString& entry : entries)
            WriteFile(Source(entry), entry.toUtf8());
        window.list = entries;
    } else if (scenario == "leftovers") {
        // Left by runs that ended in a crash: removed. Anything else stays.
        const QString host = QSysInfo::machineHostName();
        const QString dead = QString::number(DeadPid());
        QDir().mkpath(WorkArea());
        QFile::setPermissions(WorkArea(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const QStringList gone{WorkArea() + "/trash-" + host + "-" + dead + "-a1B2c3",
                               m_out.filePath(".quillfold-" + host + "-" + dead + "-Zz9Yy8")};
        const QString live = QString::number(QCoreApplication::applicationPid());
        const QStringList kept{WorkArea() + "/trash-" + host + "-" + live + "-a1B2c3",  // its run goes on
                               m_out.filePath(".quillfold-otherhost-" + dead + "-a1B2c3"),
                               m_out.filePath(".quillfold-notes"), WorkArea() + "/notes"};
        for (const QString& folder : gone + kept) {
            QDir().mkpath(folder);
            WriteFile(folder + "/a.enc", "left");
        }
        const QByteArray keptFiles = ReadFile(kept[0] + "/a.enc");
        packing::PackRun(window);
        QVERIFY2(window.label3.startsWith("finished "), qPrintable(window.messages.last().prompt));
        for (const QString& folder : gone)
            QVERIFY2(!QFileInfo::exists(folder), qPrintable(folder));
        for (const QString& folder : kept)
            QCOMPARE(ReadFile(folder + "/a.enc"), keptFiles);
        QCOMPARE(EntriesOf(Destination()), (QStringList{"a.enc", "b b.enc"}));
        return;
    }
    QHash<QString, QByteArray> before;
    for (const QString& path : mustStay)
        before[path] = ReadFile(path);
    const QString destination = window.text2;

    // Under another umask, the folders of the run are still this user's
    // alone: the work area, the run's folder in it, and the folder beside
    // the destination (looked at as the new archive is flushed).
    std::optional<RecordingProbe> probe;
    QStringList modes;
    const auto modeOf = [](const QString& path) { return QString::number(QFile::permissions(path), 16); };
#ifndef Q_OS_WIN
    const mode_t umask = scenario.startsWith("umask") ? ::umask(scenario.mid(5).toUInt(nullptr, 8)) : 0;
#endif
    if (scenario.startsWith("umask") || scenario == "nothreads") {
        probe.emplace();
        probe->fail = [&](platform::Call call, const QString& path) {
            if (call == platform::Call::SyncFile)
                modes << modeOf(WorkArea()) << modeOf(QFileInfo(path).path());
            else if (call == platform::Call::OpenForReading && path.endsWith("a.xls"))
                modes << modeOf(WorkArea() + u'/' + QDir(WorkArea()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).value(0));
            return call == platform::Call::StartThread && scenario == "nothreads" ? EAGAIN : 0;
        };
    }
    packing::PackRun(window);
    probe.reset();
#ifndef Q_OS_WIN
    if (scenario.startsWith("umask")) {
        ::umask(umask);
        QCOMPARE(modes, QStringList(3, "7700"));  // 0700: Qt counts the owner's bits twice, as owner and as user
    }
#endif
    QVERIFY2(window.label3.startsWith("finished "), qPrintable(window.messages.last().prompt));
    QStringList packages;
    for (const QString& entry : entries)
        packages << entry.section(u'.', 0, 0) + ".enc";
    QCOMPARE(EntriesOf(destination), packages);
    for (const QString& path : mustStay)
        QCOMPARE(ReadFile(path), before[path]);
    VerifyForeignFilesUntouched();
    QVERIFY2(Leftovers(QFileInfo(destination).path()).isEmpty(), qPrintable(Leftovers(QFileInfo(destination).path()).join(", ")));
    if (scenario == "symlink")
        QCOMPARE(QDir(victim).entryList(QDir::Files), (QStringList{"a.enc", "keep.xls"}));
    if (scenario == "destlink") {
        QCOMPARE(QFileInfo(Destination()).symLinkTarget(), m_out.filePath("target.zip"));
        QCOMPARE(EntriesOf(m_out.filePath("target.zip")), packages);
    }
}

void TestPackRun::progressAcrossThreeWorkbooks()
{
    // zip that takes a moment per package, so the bar is seen moving while it works.
    zip::SetProgramFolder(StandInFolder(m_out.filePath("standin")));
    qputenv("QUILLFOLD_STANDIN", QByteArray("slow:250:") + QFile::encodeName(m_out.filePath("done")));
    const QList<qint64> sizes{100000, 0, 300000};
    for (int i = 0; i < sizes.size(); ++i)
        WriteFile(Source(QStringLiteral("w%1.xls").arg(i)), RandomBytes(sizes[i]));
    FakeWindow window = ReadyWindow({"w0.xls", "w1.xls", "w2.xls"});
    packing::PackRun(window);
    QVERIFY2(window.label3.startsWith("finished "), qPrintable(window.messages.last().prompt));

    const qint64 total = 100001 + 1 + 300001;  // bytes of workbooks, each counting one more
    QVERIFY(window.progress.size() >= 6);
    QCOMPARE(window.progress.first().done, 0);
    QCOMPARE(window.progress.last().done, total);
    QList<int> ks;
    for (qsizetype i = 0; i < window.progress.size(); ++i) {
        const auto& step = window.progress[i];
        QCOMPARE(step.total, total);
        QCOMPARE(step.n, 3);
        if (i > 0) {
            QVERIFY(step.done >= window.progress[i - 1].done);  // never backwards
            QVERIFY(step.k >= window.progress[i - 1].k);
        }
        if (ks.isEmpty() || ks.last() != step.k)
            ks << step.k;
    }
    QCOMPARE(ks, (QList<int>{1, 2, 3}));
    // While zip worked on the third, the bar stood in that workbook's second half.
    const auto during = std::count_if(window.progress.cbegin(), window.progress.cend(), [](const auto& step) {
        return step.k == 3 && step.done > 100002 + 150000;
    });
    QVERIFY(during >= 2);
    QVERIFY(!window.progressShown);  // the idle window shows no bar
}

void TestPackRun::dateTimeText()
{
    const QDate day(2026, 12, 7);
    QCOMPARE(packing::DateTimeText(QDateTime(day, QTime(14, 5, 9)), QLocale("en_US")),
             QStringLiteral("12/7/26 2:05:09 PM"));
    QCOMPARE(packing::DateTimeText(QDateTime(day, QTime(0, 0)), QLocale("en_US")), QStringLiteral("12/7/26"));
    QCOMPARE(packing::DateTimeText(QDateTime(day, QTime(0, 0, 0, 999)), QLocale("en_US")), QStringLiteral("12/7/26"));
    QCOMPARE(packing::DateTimeText(QDateTime(day, QTime(0, 0, 1)), QLocale("de_DE")),
             QStringLiteral("07.12.26 00:00:01"));
    QCOMPARE(packing::DateTimeText(QDateTime(day, QTime(9, 30, 0)), QLocale("th_TH")),
             QString::fromUtf8("7/12/26 9 นาฬิกา 30 นาที 00 วินาที"));
}

QTEST_GUILESS_MAIN(TestPackRun)
#include "tst_packrun.moc"
