// quillfold-pack, the program: what it refuses before writing anything, where
// the password comes from, Ctrl+C, and the same hand-over as the window's.
#include "FakeWindow.h"
#include "RefusalCases.h"
#include "Terminal.h"
#include "TestFiles.h"
#include "cli/PackCli.h"
#include "credentials/var.h"
#include "format/Zip.h"
#include "packing/PackRun.h"
#include "packing/zip.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <csignal>
#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace testfiles;

namespace {

// Runs a program on a pseudo-terminal, answering its questions in turn;
// returns everything it showed, and its exit code in `code`.
QByteArray OnTerminal(const QStringList& arguments, const QList<QByteArray>& answers, int& code)
{
    Terminal terminal(arguments);
    for (qsizetype i = 0; i < answers.size(); ++i) {
        terminal.WaitFor("Password", i + 1);
        terminal.Type(answers[i]);
    }
    code = terminal.Finish();
    return terminal.seen();
}
}  // namespace

class TestPackCli : public RefusalCases {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void refusedBeforeAnythingIsWritten_data();
    void refusedBeforeAnythingIsWritten();
    void destinationsTakeTheNewArchive_data();
    void destinationsTakeTheNewArchive();
    void passwordSources_data();
    void passwordSources();
    void interruptedLeavesNothing_data();
    void interruptedLeavesNothing();
    void sameHandOverAsTheWindow();
    void levelsAsZipsLevels_data();
    void levelsAsZipsLevels();

protected:
    // The shared refusals, through quillfold-pack.
    Outcome Pack(const QString& folder, const QStringList& workbooks, const QString& destination) override
    {
        QStringList arguments{"--user", "clerk", "-o", destination};
        const QString here = QDir::currentPath();
        QDir::setCurrent(folder);  // the workbooks named as typed there
        const int code = Pack(arguments + workbooks);
        QDir::setCurrent(here);
        return {code, m_err};
    }
    QString Words(err::Reason reason, const QStringList& particulars) override { return err::Words(reason, particulars); }

private:
    QString Path(const QString& name) const { return m_dir.filePath(name); }
    // Runs quillfold-pack with the password on standard input; `how` it is run:
    // "raw" (\xNN in an argument is that byte), "nobody" (as another user
    // than root), "prlimit" (in 100 MB of address space), "devfull" (its
    // output on a full disk), "closed" (its output into a pipe whose reader is gone).
    int Pack(const QStringList& arguments, const QByteArray& password = "secret\n", const QString& how = {});
    QStringList Leftovers() const;

    QTemporaryDir m_dir;
    QString m_out, m_err;
    QByteArray m_old;  // what "hand over.zip" holds before each test: an earlier hand-over
};

void TestPackCli::init()
{
    QDir::setCurrent(m_dir.path());
    for (const char* name : {"a.xls", "b.xls", "รายงาน.xls"})
        WriteFile(Path(QString::fromUtf8(name)), QByteArray(name).repeated(5000));
    WriteFile(Path("earlier.enc"), "an earlier package");
    QCOMPARE(Zip({"-q", "-j", Path("hand over.zip"), Path("earlier.enc")}), 0);
    m_old = ReadFile(Path("hand over.zip"));
}

void TestPackCli::cleanup()
{
    QDir(m_dir.path()).removeRecursively();
    QDir().mkpath(m_dir.path());
}

int TestPackCli::Pack(const QStringList& arguments, const QByteArray& password, const QString& how)
{
    QProcess run, head;
    QStringList command{BuiltProgram("quillfold-pack")};
    if (how == "raw") {
        command = QStringList{"python3", "-c",
                              "import os, sys\n"
                              "a = [x.encode('latin-1').decode('unicode_escape').encode('latin-1') for x in sys.argv[1:]]\n"
                              "os.execv(a[0], a)\n"} + command;
#ifndef Q_OS_WIN
    } else if (how == "nobody" && ::geteuid() == 0) {
        QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7755));
        command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
    } else if (how == "nproc" && ::geteuid() == 0) {  // as another user than root, whom the limit does not bind
        QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7755));
        command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + WithoutLeakCheck() +
                  QStringList{"prlimit", "--nproc=1", "--"} + command;
#endif
    } else if (how == "prlimit" || how == "fsize") {
        for (int i = 1; i <= 3; ++i)
            WriteFile(Path(QStringLiteral("big%1.xls").arg(i)), RandomBytes(15000000));
        command = QStringList{"prlimit", how == "fsize" ? "--fsize=4000000" : "--as=100000000", "--"} + command;
    } else if (how == "devfull") {
        run.setStandardOutputFile("/dev/full");
    } else if (how == "closed") {
        run.setStandardOutputProcess(&head);
        head.start("head", {"-c", "0"});
    }
    run.start(command.first(), command.mid(1) + arguments);
    run.write(password);
    run.closeWriteChannel();
    run.waitForFinished(60000);
    head.waitForFinished();
    // Lines end as the system ends them ("\r\n" on Windows).
    QByteArray out = run.readAllStandardOutput() + head.readAllStandardOutput();
    m_out = QString::fromUtf8(out.replace("\r\n", "\n"));
    m_err = QString::fromUtf8(run.readAllStandardError().replace("\r\n", "\n"));
    return run.exitStatus() == QProcess::NormalExit ? run.exitCode() : 128 + 100;
}

QStringList TestPackCli::Leftovers() const
{
    return QDir(m_dir.path()).entryList({".quillfold*"}, QDir::AllEntries | QDir::Hidden);
}

void TestPackCli::refusedBeforeAnythingIsWritten_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("how");
    const QStringList out{"-o", "hand over.zip"};
    const QStringList files{"a.xls", "b.xls"};
    QTest::newRow("user ID blank") << QStringList{"--user", "   "} + out + files << QByteArray("secret\n") << 2
                                   << "the user ID is empty" << QString();
    QTest::newRow("user ID of no-break spaces") << QStringList{"--user", QString::fromUtf8("\u00A0\u00A0")} + out + files
                                                << QByteArray("secret\n") << 2 << "the user ID is empty" << QString();
    QTest::newRow("password of two") << QStringList{"--user", "clerk"} + out + files << QByteArray(" ab \n") << 2
                                     << "at least 3 characters" << QString();
    QTest::newRow("user ID of 13") << QStringList{"--user", "ABCDEFGHIJKLM"} + out + files << QByteArray("secret\n")
                                   << 2 << "the user ID must have at most 12 characters" << QString();
    QTest::newRow("user ID outside the code page")
        << QStringList{"--user", QString::fromUtf8("clerk\u0416")} + out + files << QByteArray("secret\n") << 2
        << "Windows-874" << QString();
    QTest::newRow("control character in the password") << QStringList{"--user", "clerk"} + out + files
                                                       << QByteArray("sec\x1bret\n") << 2 << "the password must" << QString();
    QTest::newRow("a workbook missing") << QStringList{"--user", "clerk"} + out + QStringList{"a.xls", "gone.xls"}
                                        << QByteArray("secret\n") << 1 << "gone.xls: File not found" << QString();
    QTest::newRow("no workbook") << QStringList{"--user", "clerk"} + out << QByteArray("secret\n") << 2
                                 << "no workbook given" << QString();
    QTest::newRow("password on the command line") << QStringList{"--user", "clerk", "--password", "x"} + out + files
                                                  << QByteArray("secret\n") << 2 << "Unknown option" << QString();
    const QByteArray pw("secret\n");
    const QStringList user{"--user", "clerk"};
    // A name that is not UTF-8 is that name, never one the platform makes of it.
    QTest::newRow("workbook name not UTF-8") << user + out + QStringList{"a.xls", "\\xc3\\xd2\\xc2\\xa7.xls"} << pw << 2
                                             << QString::fromUtf8("not valid UTF-8 (as Windows-874: \"รายง.xls\")")
                                             << "raw";
    QTest::newRow("archive name not UTF-8") << user + QStringList{"-o", "dest\\xff.zip"} + files << pw << 2
                                            << "dest\\xff.zip: the name is not valid UTF-8" << "raw";
    QTest::newRow("archive name is a workbook's") << user + QStringList{"-o", "keep.xls"} + files << pw << 2
                                                  << "keep.xls: it is not a ZIP archive (give --replace" << QString();
    QTest::newRow("archive name is a device") << user + QStringList{"-o", "/dev/null", "--replace"} + files << pw
                                              << 2 << "it is not a regular file" << QString();
    QTest::newRow("workbook unreadable") << user + out + QStringList{"a.xls", "locked.xls"} << pw << 1
                                         << "locked.xls: cannot be read: Permission denied" << "nobody";
    QStringList many{"a.xls"};  // enough to be opened on every core: the first in order is named
    for (int i = 1; i <= 600; ++i)
        many << QStringLiteral("gone%1.xls").arg(i);
    QTest::newRow("many missing") << user + out + many << pw << 1 << "gone1.xls: File not found" << QString();
    QTest::newRow("archive of another user in a shared folder")
        << user + QStringList{"-o", "shared/theirs.zip"} + files << pw << 2
        << "it belongs to another user, and its folder lets only the owner replace it" << "nobody";
    QTest::newRow("password file unreadable") << user + out + files + QStringList{"--password-file", "."} << pw << 2
                                              << ".: cannot read the password file: not a regular file" << QString();
    QTest::newRow("an option-like name") << user + out + QStringList{"-x.xls"} << pw << 2
                                         << "Unknown option -x.xls" << QString();
    QTest::newRow("out of memory") << user + out + QStringList{"big1.xls", "big2.xls", "big3.xls"} << pw << 1
                                   << "out of memory; nothing was changed" << "prlimit";
    QTest::newRow("output on a full disk") << user + out + files << pw << 1
                                           << "cannot write to standard output" << "devfull";
    QTest::newRow("output into a pipe no one reads") << user + out + files << pw << 1
                                                     << "cannot write to standard output" << "closed";
    // Links that another user planted in a folder everyone may write in are
    // not followed, as the system itself would not: not to one of the
    // packer's archives, nor, with --replace, to another of its files.
    const QString planted = "shared/handover.zip is a link that nobody made in a folder that everyone may write in";
    QTest::newRow("a link another user planted, with --replace, to a workbook")
        << user + QStringList{"-o", "shared/handover.zip", "--replace"} + files << pw << 2 << planted << "planted";
    QTest::newRow("a password file of 16 MB without a line end")
        << user + out + files + QStringList{"--password-file", "big.pw"} << pw << 2
        << "big.pw: cannot read the password file: its first line is longer than 4096 bytes" << QString();
    // (What the window refuses alike is in the table both run: RefusalCases.)
    QTest::newRow("a name that ends in a space") << user + out + QStringList{"report "} << pw << 2
                                                 << "report : the name ends in a dot or a space" << QString();
    QTest::newRow("an archive past the file-size limit") << user + out + QStringList{"big1.xls"} << pw << 1
                                                         << "File too large for this account's file-size limit" << "fsize";
}

void TestPackCli::refusedBeforeAnythingIsWritten()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, password);
    QFETCH(int, exitCode);
    QFETCH(QString, problem);
    QFETCH(QString, how);
#if defined(__SANITIZE_ADDRESS__)
    if (how == "prlimit")
        QSKIP("AddressSanitizer reserves more address space than the limit");
#endif
    if (!Posix && (!how.isEmpty() || arguments.contains("pipe") || arguments.contains("shared/theirs.zip")))
        QSKIP("needs what only POSIX has here: names as bytes, other users, limits, /dev/full, pipes, backslashes in names");
#ifdef Q_OS_WIN
    arguments.replaceInStrings(QStringLiteral("/dev/null"), QStringLiteral("NUL"));  // a device, in any folder
#endif
    WriteFile(Path("A.xlsx"), "clash");
    WriteFile(Path("keep.xls"), "a workbook");
    WriteFile(Path("locked.xls"), "no one may read it");
    WriteFile(Path(".hidden.xls"), "a dot first");
    WriteFile(Path(QString(253, u'n')), "a long name");
    QFile::setPermissions(Path("locked.xls"), {});
#ifndef Q_OS_WIN
    QCOMPARE(::mkfifo(QFile::encodeName(Path("pipe")).constData(), 0600), 0);
#endif
    // What the platform makes of names that are not UTF-8: never to be touched.
    const QStringList lookalikes{QFile::decodeName("\xc3\xd2\xc2\xa7.xls"), QFile::decodeName("dest\xff.zip")};
    for (const QString& lookalike : lookalikes)
        WriteFile(Path(lookalike), m_old);
    WriteFile(Path("big.pw"), QByteArray(16 << 20, 'p'));
#ifndef Q_OS_WIN
    if (QTest::currentDataTag() == QByteArray("archive of another user in a shared folder") || how == "planted") {
        if (::geteuid() != 0)
            QSKIP("only root can give a file to another user");
        QDir().mkpath(Path("shared"));
        QFile::setPermissions(Path("shared"), QFileDevice::Permissions(0x7777));
        ::chmod(QFile::encodeName(Path("shared")).constData(), 01777);
        WriteFile(Path("shared/theirs.zip"), m_old);
        QFile::setPermissions(Path("shared/theirs.zip"), QFileDevice::Permissions(0x6666));
        // The other user's link, to the packer's own archive or workbook.
        const QByteArray link = QFile::encodeName(Path("shared/handover.zip"));
        QCOMPARE(::symlink(arguments.contains("--replace") ? "../keep.xls" : "../hand over.zip", link.constData()), 0);
        QCOMPARE(::lchown(link.constData(), 65534, 65534), 0);
    }
#endif
    QCOMPARE(Pack(arguments, password, how), exitCode);
    QVERIFY2(m_err.contains(problem), qPrintable(m_err));
    QCOMPARE(ReadFile(Path("hand over.zip")), m_old);
    QCOMPARE(ReadFile(Path("keep.xls")), QByteArray("a workbook"));
    for (const QString& lookalike : lookalikes)
        QCOMPARE(ReadFile(Path(lookalike)), m_old);
    QVERIFY(!Posix || (QFileInfo(Path("pipe")).isReadable() && !QFileInfo(Path("pipe")).isFile()));
    QVERIFY2(Leftovers().isEmpty(), qPrintable(Leftovers().join(u' ')));
}

void TestPackCli::destinationsTakeTheNewArchive_data()
{
    QTest::addColumn<QString>("destination");
    QTest::newRow("a file that is no archive, with --replace") << "keep.xls";
    QTest::newRow("a symbolic link to an archive") << "link.zip";
    QTest::newRow("an archive shared with a group, set-user-ID") << "shared.zip";
    QTest::newRow("no thread to be had beside the first") << "drop/out.zip";  // as another user, under a limit of one process
}

void TestPackCli::destinationsTakeTheNewArchive()
{
    QFETCH(QString, destination);
    WriteFile(Path("keep.xls"), "a workbook");
    QCOMPARE(Zip({"-q", "-j", Path("real.zip"), Path("b.xls")}), 0);
    if (destination == "link.zip" && (!MakeLink("real.zip", Path("link.zip")) || !QFileInfo(Path("link.zip")).isSymbolicLink()))
        QSKIP("this system makes no symbolic links to files (Wine makes none)");
    QVERIFY(QFile::copy(Path("real.zip"), Path("shared.zip")));
#ifdef Q_OS_WIN
    if (destination == "shared.zip")
        QSKIP("owner group and mode bits are POSIX's; Windows keeps permissions in ACLs");
#else
    const gid_t group = ::getegid() == 0 ? 100 : ::getegid();
    QCOMPARE(::chown(QFile::encodeName(Path("shared.zip")).constData(), uid_t(-1), group), 0);
    QCOMPARE(::chmod(QFile::encodeName(Path("shared.zip")).constData(), 04640), 0);
#endif

    QStringList arguments{"--user", "clerk", "-o", destination, "a.xls"};
    if (destination == "keep.xls")
        arguments << "--replace";
    QString how;
    if (destination == "drop/out.zip") {
        if (!Root())
            QSKIP("a limit of processes binds only users other than root, whom only root can become here");
        QDir().mkpath(Path("drop"));
        QFile::setPermissions(Path("drop"), QFileDevice::Permissions(0x7777));
        how = "nproc";
    }
    QVERIFY2(Pack(arguments, "secret\n", how) == 0, qPrintable(m_err));
    QCOMPARE(EntriesOf(Path(destination)), QStringList{"a.enc"});
    QVERIFY(m_out.endsWith(": 1 workbook packed and checked\n"));
    if (destination == "link.zip") {  // the link stays; what it points to is replaced
        QVERIFY(QFileInfo(Path("link.zip")).isSymLink());
        QCOMPARE(EntriesOf(Path("real.zip")), QStringList{"a.enc"});
    }
#ifndef Q_OS_WIN
    if (destination == "shared.zip") {
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(Path(destination)).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, 0640u);
        QCOMPARE(info.st_gid, group);
    }
#endif
    QVERIFY(Leftovers().isEmpty());
}

void TestPackCli::passwordSources_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("a file, with CRLF") << "file" << 0;
    QTest::newRow("standard input") << "stdin" << 0;
    QTest::newRow("the terminal, twice") << "terminal" << 0;
    QTest::newRow("the terminal, two that differ") << "differ" << 2;
}

void TestPackCli::passwordSources()
{
    QFETCH(QString, source);
    QFETCH(int, exitCode);
    const QStringList arguments{"--user", " clerk01 ", "-o", Path("hand over.zip"), Path("a.xls"),
                                Path(QString::fromUtf8("รายงาน.xls"))};
    int code = -1;
    if (source == "file") {
        WriteFile(Path("pw"), " Secret \r\nsecond line\n");
        code = Pack(arguments + QStringList{"--password-file", Path("pw")}, {});
    } else if (source == "stdin") {
        code = Pack(arguments, " Secret \n");
    } else {
        const QByteArray shown = OnTerminal(QStringList{BuiltProgram("quillfold-pack")} + arguments,
                                            {" Secret \n", source == "differ" ? "secret\n" : " Secret \n"}, code);
        QVERIFY2(!shown.contains("Secret"), shown.constData());  // never echoed
        if (code == 0 && Posix)  // and a bar on the terminal (a console shows only where it ends)
            QVERIFY2(shown.contains("] 100 %  2/2"), shown.constData());
        if (code == 0)  // names as they are, also Thai ones
            QVERIFY2(shown.contains(QString::fromUtf8("รายงาน.enc").toUtf8()), shown.constData());
        m_err = QString::fromUtf8(shown);
    }
    QVERIFY2(code == exitCode, qPrintable(m_out + m_err));
    if (exitCode != 0) {
        QVERIFY(m_err.contains("the two passwords differ"));
        QCOMPARE(ReadFile(Path("hand over.zip")), m_old);
        return;
    }
    // Stored trimmed and upper-cased, as the window does.
    QProcess unpack;
    unpack.start(BuiltProgram("quillfold-unpack"), {"--password", "SECRET", Path("hand over.zip")});
    QVERIFY(unpack.waitForFinished());
    const QString listed = QString::fromUtf8(unpack.readAllStandardOutput());
    QCOMPARE(listed.count("user CLERK01"), 2);
    QCOMPARE(listed.count("password ok"), 2);
    QCOMPARE(unpack.exitCode(), 0);
}

void TestPackCli::interruptedLeavesNothing_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("phase");  // caught while the archive is written, read back, or restored by quillfold-unpack
    QTest::newRow("SIGINT while packing") << SIGINT << "packing";
    QTest::newRow("SIGINT while checking") << SIGINT << "checking";
    QTest::newRow("SIGINT while restoring") << SIGINT << "restoring";
    QTest::newRow("SIGTERM") << SIGTERM << "packing";
    QTest::newRow("SIGHUP") << 1 << "packing";  // SIGHUP, which Windows does not name
}

void TestPackCli::interruptedLeavesNothing()
{
    QFETCH(int, signal);
    QFETCH(QString, phase);
    if (!Posix && signal != SIGINT)
        QSKIP("Windows has no signals; its console's Ctrl+C is the SIGINT rows");
    // Enough work to be caught in the middle of it: eight workbooks, or one
    // large one whose line comes before its check (large enough that the
    // check, which reads it back on every core, outlasts a Ctrl+C typed
    // into a console under Wine), or forty to restore.
    const bool checking = phase == "checking";
    const int count = checking ? 1 : phase == "restoring" ? 40 : 8;
    QByteArray text;
    for (int i = 0; i < (checking ? 6000000 : 400000); ++i)
        text += "north region " + QByteArray::number(i) + ";";
    if (checking)
        text = text.repeated(5);
    WriteFile(Path("pw"), "secret\n");
    QStringList arguments{BuiltProgram("quillfold-pack"), "--user", "clerk", "--password-file", Path("pw"), "-o",
                          Path("hand over.zip")};
    for (int i = 0; i < count; ++i) {
        WriteFile(Path(QStringLiteral("big%1.xls").arg(i)), text);
        arguments << Path(QStringLiteral("big%1.xls").arg(i));
    }
    const QString out = Path("out");
    if (phase == "restoring") {
        QCOMPARE(Pack(arguments.mid(1)), 0);
        m_old = ReadFile(Path("hand over.zip"));
        arguments = QStringList{BuiltProgram("quillfold-unpack"), "--password-file", Path("pw"), "--out", out, Path("hand over.zip")};
    }
    // On a terminal, where Ctrl+C is typed (and on POSIX other signals sent).
    Terminal run(arguments);
    if (checking)
        QVERIFY2(run.WaitFor("big0.enc"), run.seen().constData());
    else if (phase == "restoring")
        QVERIFY2(run.WaitFor("[2/40]"), run.seen().constData());
    else
        QTRY_VERIFY_WITH_TIMEOUT(!Leftovers().isEmpty(), 10000);  // the new archive is being built
#ifdef Q_OS_WIN
    run.Type("\x03");
#else
    ::kill(run.pid(), signal);
#endif
    QCOMPARE(run.Finish(), 128 + signal);
    QVERIFY2(run.seen().contains(phase == "restoring" ? "interrupted" : "interrupted; nothing was changed"), run.seen().constData());
    QCOMPARE(ReadFile(Path("hand over.zip")), m_old);
    QVERIFY(Leftovers().isEmpty());
    // Of a restore, only the workbooks it reported stay.
    QVERIFY(QDir(out).entryList({".quillfold*"}, QDir::AllEntries | QDir::Hidden).isEmpty());
    QCOMPARE(QDir(out).entryList(QDir::Files).size(), run.seen().count("restored as"));
}

void TestPackCli::sameHandOverAsTheWindow()
{
    // The same workbooks through the window's pack run (the real zip) and
    // through quillfold-pack: the same names, in order, with the same bytes.
    QStringList names{"a.xls", "b.xls", QString::fromUtf8("รายงาน.xls"), "empty.xls", "noise.xls", "large.xls"};
    WriteFile(Path("empty.xls"), {});
    QByteArray noise(300000, Qt::Uninitialized);
    QRandomGenerator(5).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    WriteFile(Path("noise.xls"), noise);
    WriteFile(Path("large.xls"), QByteArray("quarterly totals; ").repeated(1100000));  // deflated in pieces
    // Dated before 1980 and after 2107 (which ZIP cannot hold), on an odd
    // second, on an even one, and on the odd last second that ZIP can (which
    // Windows' zip.exe cannot: every way dates both as its last, in 2106).
    const QList<QDateTime> dates{QDateTime(QDate(1975, 6, 1), QTime(8, 0)), QDateTime(QDate(2021, 3, 4), QTime(10, 20, 31)),
                                 QDateTime(QDate(2021, 3, 4), QTime(10, 20, 30)), QDateTime(QDate(2108, 3, 4), QTime(9, 0)),
                                 QDateTime(QDate(2107, 12, 31), QTime(23, 59, 59))};
    for (qsizetype i = 0; i < names.size(); ++i) {
        QFile workbook(Path(names[i]));
        QVERIFY(workbook.open(QIODevice::ReadWrite));
        QVERIFY(workbook.setFileTime(dates[i % dates.size()], QFileDevice::FileModificationTime));
    }

    // Both in this process, each with its calls to the disk recorded.
    UseTempFolder(m_dir.path());
    fakewindow::FakeWindow window;
    window.list = names;
    window.text1 = m_dir.path();
    window.text2 = Path("window.zip");
    window.LogInAs("CLERK", "SECRET");
    {
        RecordingProbe probe;
        packing::PackRun(window);
        QVERIFY2(window.label3.startsWith("finished "), qPrintable(window.messages.last().prompt));
        QVERIFY2(probe.DurablyNamed(Path("window.zip")), qPrintable(probe.Calls().join(u'\n')));
    }
    {
        RecordingProbe probe;
        packcli::Options options{"clerk", "secret", Path("cli.zip"), {}, false};
        for (const QString& name : names)
            options.files << Path(name);
        m_out.clear();
        QTextStream out(&m_out), err(&m_err);
        QCOMPARE(packcli::Run(options, out, err), 0);
        QCOMPARE(m_out.count('\n'), names.size() + 1);  // one line per workbook, then the archive's
        QVERIFY2(probe.DurablyNamed(Path("cli.zip")), qPrintable(probe.Calls().join(u'\n')));
        // Each workbook is opened once: the file checked is the file packed.
        for (const QString& name : names)
            QCOMPARE(probe.Calls().count("OpenForReading " + Path(name)), 1);
    }

    const QStringList entries = EntriesOf(Path("window.zip"));
    QCOMPARE(entries.size(), names.size());
    QCOMPARE(EntriesOf(Path("cli.zip")), entries);
    for (const QString& entry : entries)
        QCOMPARE(EntryContent(Path("cli.zip"), entry), EntryContent(Path("window.zip"), entry));
    QCOMPARE(QProcess::execute(InfoZip("unzip"), {"-tqq", Path("cli.zip")}), 0);
    // And the same metadata, as Info-ZIP's zipinfo shows it: names, dates,
    // system and version, attributes, extra fields, CRC and size.
    const auto metadata = [](const QString& archive) {
        QProcess info;
        info.start(InfoZip("unzip"), {"-Zv", archive});
        info.waitForFinished(-1);
        QStringList kept;
        for (const QString& line : QString::fromUtf8(info.readAllStandardOutput()).remove(u'\r').split(u'\n')) {
            for (const char* field : {".enc", "operating system of origin", "version of encoding software",
                                      "last modified on", "file attributes", "length of extra field", "CRC value",
                                      "uncompressed size"}) {
                if (line.contains(QLatin1String(field)))
                    kept << line.simplified();
            }
        }
        return kept;
    };
    const QStringList windowMetadata = metadata(Path("window.zip"));
    QVERIFY2(windowMetadata.contains("file last modified on (DOS date/time): 1980 Jan 1 00:00:00"),
             qPrintable(windowMetadata.join(u'\n')));
    QVERIFY(windowMetadata.contains("file last modified on (DOS date/time): 2021 Mar 4 10:20:32"));
    const QString latest = QLocale::c().toString(QDateTime::fromSecsSinceEpoch(zipformat::LatestDatable), "yyyy MMM d hh:mm:ss");
    QCOMPARE(windowMetadata.count("file last modified on (DOS date/time): " + latest), 2);
    QCOMPARE(metadata(Path("cli.zip")), windowMetadata);
}

void TestPackCli::levelsAsZipsLevels_data()
{
    QTest::addColumn<QStringList>("levels");  // as typed
    QTest::addColumn<int>("zipLevel");        // the zip level it is
    QTest::newRow("none: 6") << QStringList{} << 6;
    QTest::newRow("-0 stores") << QStringList{"-0"} << 0;
    QTest::newRow("-1") << QStringList{"-1"} << 1;
    QTest::newRow("--fast") << QStringList{"--fast"} << 1;
    QTest::newRow("-2") << QStringList{"-2"} << 2;
    QTest::newRow("-7") << QStringList{"-7"} << 7;
    QTest::newRow("-8") << QStringList{"-8"} << 8;
    QTest::newRow("--best") << QStringList{"--best"} << 9;
    QTest::newRow("the last given counts") << QStringList{"-9", "--fast", "-3"} << 3;
}

void TestPackCli::levelsAsZipsLevels()
{
    QFETCH(QStringList, levels);
    QFETCH(int, zipLevel);
    // Package bytes that deflate, and a large workbook deflated in pieces.
    WriteFile(Path("large.xls"), QByteArray("quarterly totals; ").repeated(1100000));
    const QStringList workbooks{Path("a.xls"), Path("large.xls")};
    QVERIFY2(Pack(QStringList{"--user", "clerk", "-o", Path("ours.zip")} + levels + workbooks) == 0, qPrintable(m_err));
    // zip at that level over the same packages: the same method and the same
    // mark of how hard, in every entry.
    QStringList packages;
    for (const QString& entry : EntriesOf(Path("ours.zip"))) {
        WriteFile(Path(entry), EntryContent(Path("ours.zip"), entry));
        packages << Path(entry);
    }
    QCOMPARE(Zip(QStringList{"-q", "-j", QStringLiteral("-%1").arg(zipLevel), Path("zip.zip")} + packages), 0);
    const auto marks = [](const QString& archive) {
        QProcess info;
        info.start(InfoZip("unzip"), {"-Zv", archive});
        info.waitForFinished(-1);
        QStringList kept;
        for (const QString& line : QString::fromUtf8(info.readAllStandardOutput()).split(u'\n')) {
            if (line.contains("compression method") || line.contains("compression sub-type"))
                kept << line.simplified();
        }
        return kept;
    };
    QCOMPARE(marks(Path("ours.zip")), marks(Path("zip.zip")));
    QCOMPARE(marks(Path("ours.zip")).size(), zipLevel == 0 ? 2 : 4);
    if (zipLevel != 9)
        return;
    // On a ledger of dated amounts: harder is smaller, and -9 smaller than zip's -9.
    QRandomGenerator random(9);
    QByteArray ledger;
    const char* labels[] = {"north", "south", "paid", "pending", "Bangkok"};
    while (ledger.size() < 2000000)
        ledger += QByteArray(labels[random.bounded(5)]) + ' ' + QByteArray::number(random.bounded(2000)) + ' ' +
                  QByteArray::number(random.bounded(10000000) / 100.0, 'f', 2) + '\n';
    WriteFile(Path("ledger.xls"), ledger);
    QList<qint64> sizes;
    for (const char* level : {"-1", "-6", "-9"}) {
        QVERIFY2(Pack({"--user", "clerk", "-o", Path(level + QStringLiteral(".zip")), level, Path("ledger.xls")}) == 0, qPrintable(m_err));
        sizes << QFileInfo(Path(level + QStringLiteral(".zip"))).size();
    }
    WriteFile(Path("ledger.enc"), EntryContent(Path("-9.zip"), "ledger.enc"));
    QCOMPARE(Zip({"-q", "-j", "-9", Path("zip-9.zip"), Path("ledger.enc")}), 0);
    QVERIFY2(sizes[0] > sizes[1] && sizes[1] > sizes[2] && sizes[2] < QFileInfo(Path("zip-9.zip")).size(),
             qPrintable(QStringLiteral("%1 %2 %3 zip -9 %4").arg(sizes[0]).arg(sizes[1]).arg(sizes[2]).arg(QFileInfo(Path("zip-9.zip")).size())));
}

QTEST_GUILESS_MAIN(TestPackCli)
#include "tst_packcli.moc"
