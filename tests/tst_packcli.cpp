// quillfold-pack, the program: what it refuses before writing anything, where
// the password comes from, Ctrl+C, and the same hand-over as the window's.
#include "FakeWindow.h"
#include "Terminal.h"
#include "TestFiles.h"
#include "credentials/var.h"
#include "packing/PackRun.h"
#include "packing/zip.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace testfiles;

namespace {
const QByteArray OldArchive = "an older archive";

// Runs a program on a pseudo-terminal, answering its questions in turn;
// returns everything it showed, and its exit code in `code`.
QByteArray OnTerminal(const QStringList& arguments, const QList<QByteArray>& answers, int& code)
{
    Terminal terminal(arguments);
    for (qsizetype i = 0; i < answers.size(); ++i) {
        terminal.WaitFor("Password", i + 1);
        terminal.Type(answers[i]);
    }
    const int status = terminal.Finish();
    code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return terminal.seen();
}
}  // namespace

class TestPackCli : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void refusedBeforeAnythingIsWritten_data();
    void refusedBeforeAnythingIsWritten();
    void passwordSources_data();
    void passwordSources();
    void interruptedLeavesNothing();
    void sameHandOverAsTheWindow();

private:
    QString Path(const QString& name) const { return m_dir.filePath(name); }
    // Runs quillfold-pack with the password on standard input.
    int Pack(const QStringList& arguments, const QByteArray& password = "secret\n");
    QStringList Leftovers() const;

    QTemporaryDir m_dir;
    QString m_out, m_err;
};

void TestPackCli::init()
{
    QDir::setCurrent(m_dir.path());
    for (const char* name : {"a.xls", "b.xls", "รายงาน.xls"})
        WriteFile(Path(QString::fromUtf8(name)), QByteArray(name).repeated(5000));
    WriteFile(Path("hand over.zip"), OldArchive);
}

void TestPackCli::cleanup()
{
    QDir(m_dir.path()).removeRecursively();
    QDir().mkpath(m_dir.path());
}

int TestPackCli::Pack(const QStringList& arguments, const QByteArray& password)
{
    QProcess run;
    run.start(BuiltProgram("quillfold-pack"), arguments);
    run.write(password);
    run.closeWriteChannel();
    run.waitForFinished(60000);
    m_out = QString::fromUtf8(run.readAllStandardOutput());
    m_err = QString::fromUtf8(run.readAllStandardError());
    return run.exitCode();
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
    const QStringList out{"-o", "hand over.zip"};
    const QStringList files{"a.xls", "b.xls"};
    QTest::newRow("user ID blank") << QStringList{"--user", "   "} + out + files << QByteArray("secret\n") << 2
                                   << "the user ID is empty";
    QTest::newRow("user ID of no-break spaces") << QStringList{"--user", QString::fromUtf8("\u00A0\u00A0")} + out + files
                                                << QByteArray("secret\n") << 2 << "the user ID is empty";
    QTest::newRow("password of two") << QStringList{"--user", "clerk"} + out + files << QByteArray(" ab \n") << 2
                                     << "at least 3 characters";
    QTest::newRow("user ID of 13") << QStringList{"--user", "ABCDEFGHIJKLM"} + out + files << QByteArray("secret\n")
                                   << 2 << "the user ID must have at most 12 characters";
    QTest::newRow("user ID outside the code page")
        << QStringList{"--user", QString::fromUtf8("clerk\u0416")} + out + files << QByteArray("secret\n") << 2
        << "Windows-874";
    QTest::newRow("control character in the password") << QStringList{"--user", "clerk"} + out + files
                                                       << QByteArray("sec\x1bret\n") << 2 << "the password must";
    QTest::newRow("clashing package names") << QStringList{"--user", "clerk"} + out + QStringList{"a.xls", "A.xlsx"}
                                            << QByteArray("secret\n") << 2 << "a.xls, A.xlsx";
    QTest::newRow("destination is a workbook") << QStringList{"--user", "clerk", "-o", "./b.xls", "a.xls", "b.xls"}
                                               << QByteArray("secret\n") << 2 << "would replace one of the workbooks";
    QTest::newRow("destination folder missing") << QStringList{"--user", "clerk", "-o", "no/such.zip"} + files
                                                << QByteArray("secret\n") << 2 << "its folder does not exist";
    QTest::newRow("destination is a folder") << QStringList{"--user", "clerk", "-o", "."} + files
                                             << QByteArray("secret\n") << 2 << "it is a folder";
    QTest::newRow("a workbook missing") << QStringList{"--user", "clerk"} + out + QStringList{"a.xls", "gone.xls"}
                                        << QByteArray("secret\n") << 1 << "gone.xls: File not found";
    QTest::newRow("no workbook") << QStringList{"--user", "clerk"} + out << QByteArray("secret\n") << 2
                                 << "no workbook given";
    QTest::newRow("password on the command line") << QStringList{"--user", "clerk", "--password", "x"} + out + files
                                                  << QByteArray("secret\n") << 2 << "Unknown option";
}

void TestPackCli::refusedBeforeAnythingIsWritten()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, password);
    QFETCH(int, exitCode);
    QFETCH(QString, problem);
    WriteFile(Path("A.xlsx"), "clash");
    QCOMPARE(Pack(arguments, password), exitCode);
    QVERIFY2(m_err.contains(problem), qPrintable(m_err));
    QCOMPARE(ReadFile(Path("hand over.zip")), OldArchive);
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
        if (code == 0)  // and a bar on the terminal
            QVERIFY2(shown.contains("] 100 %  2/2"), shown.constData());
        m_err = QString::fromUtf8(shown);
    }
    QVERIFY2(code == exitCode, qPrintable(m_out + m_err));
    if (exitCode != 0) {
        QVERIFY(m_err.contains("the two passwords differ"));
        QCOMPARE(ReadFile(Path("hand over.zip")), OldArchive);
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

void TestPackCli::interruptedLeavesNothing()
{
    // Enough work to be caught in the middle of it.
    QByteArray text;
    for (int i = 0; i < 400000; ++i)
        text += "north region " + QByteArray::number(i) + ";";
    for (int i = 0; i < 8; ++i)
        WriteFile(Path(QStringLiteral("big%1.xls").arg(i)), text);
    QStringList arguments{"--user", "clerk", "-o", Path("hand over.zip")};
    for (int i = 0; i < 8; ++i)
        arguments << Path(QStringLiteral("big%1.xls").arg(i));
    QProcess run;
    run.start(BuiltProgram("quillfold-pack"), arguments);
    run.write("secret\n");
    run.closeWriteChannel();
    QTRY_VERIFY_WITH_TIMEOUT(!Leftovers().isEmpty(), 10000);  // the new archive is being built
    ::kill(pid_t(run.processId()), SIGINT);
    QVERIFY(run.waitForFinished(10000));
    QCOMPARE(run.exitCode(), 128 + SIGINT);
    QVERIFY(run.readAllStandardError().contains("interrupted; nothing was changed"));
    QCOMPARE(ReadFile(Path("hand over.zip")), OldArchive);
    QVERIFY(Leftovers().isEmpty());
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

    qputenv("TMPDIR", QFile::encodeName(m_dir.path()));
    fakewindow::FakeWindow window;
    window.list = names;
    window.text1 = m_dir.path();
    window.text2 = Path("window.zip");
    window.LogInAs("CLERK", "SECRET");
    packing::PackRun(window);
    QVERIFY2(window.label3.startsWith("finished "), qPrintable(window.messages.last().prompt));

    QStringList arguments{"--user", "clerk", "-o", Path("cli.zip")};
    for (const QString& name : names)
        arguments << Path(name);
    QCOMPARE(Pack(arguments), 0);
    QCOMPARE(m_out.count('\n'), names.size() + 1);  // one line per workbook, then the archive's

    const QStringList entries = EntriesOf(Path("window.zip"));
    QCOMPARE(entries.size(), names.size());
    QCOMPARE(EntriesOf(Path("cli.zip")), entries);
    for (const QString& entry : entries)
        QCOMPARE(EntryContent(Path("cli.zip"), entry), EntryContent(Path("window.zip"), entry));
    QCOMPARE(QProcess::execute("unzip", {"-tqq", Path("cli.zip")}), 0);
}

QTEST_GUILESS_MAIN(TestPackCli)
#include "tst_packcli.moc"
