// The archiver runner: its command lines, the real zip and unzip, and stand-ins
// that fail, crash, sleep or would ask a question.
#include "TestFiles.h"
#include "base/Ending.h"
#include "base/RuntimeError.h"
#include "packing/zip.h"
#include "reader/Utf8Names.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <QTimer>

using namespace testfiles;

class TestArchiver : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        qunsetenv("QUILLFOLD_STANDIN");
        zip::SetProgramFolder(QString());  // the real zip and unzip beside the test
    }

    void commandLine_data();
    void commandLine();
    void commandLineSplitsIntoTheExactPaths();

    void zipAddsOneFileEachCall();
    void unzipFlattensIntoNewFolderAndKeepsExistingFiles();
    void programFolderWithBlanks();
    void missingProgramIsError53AndNothingRuns();
    void unknownModeStartsNothing();
    void failuresAreReportedNotSwallowed();
    void programsCannotAskQuestions();

    void waitEndsWhenTheProgramEnds();
    void eventsRunDuringALongWait();
    void endingTheProgramStopsTheArchiver_data();
    void endingTheProgramStopsTheArchiver();

private:
    // A program folder whose bin/zip and bin/unzip are the stand-in.
    QString StandInFolder();
    QTemporaryDir m_dir;
};

QString TestArchiver::StandInFolder()
{
    return testfiles::StandInFolder(m_dir.filePath("standin program"), {"zip", "unzip"});
}

void TestArchiver::commandLine_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("line");

    QTest::newRow("zip") << "/opt/q" << "/tmp/trash/a.enc" << "/home/u/out.zip" << "zip"
                         << R"("/opt/q/bin/zip" -q -j "/home/u/out.zip" "/tmp/trash/a.enc")";
    QTest::newRow("unzip") << "/opt/q" << "/home/u/pack.zip" << "/home/u/pack" << "unzip"
                           << R"("/opt/q/bin/unzip" -j "/home/u/pack.zip" -d "/home/u/pack")";
    QTest::newRow("blanks everywhere") << "/opt/my prog" << "/tmp/my trash/a b.enc" << "/home/u/my out.zip" << "zip"
                                       << R"("/opt/my prog/bin/zip" -q -j "/home/u/my out.zip" "/tmp/my trash/a b.enc")";
    QTest::newRow("unzip blanks") << "/opt/my prog" << "/d/my pack.zip" << "/d/my pack" << "unzip"
                                  << R"("/opt/my prog/bin/unzip" -j "/d/my pack.zip" -d "/d/my pack")";
    QTest::newRow("thai") << QString::fromUtf8("/โปรแกรม") << QString::fromUtf8("/tmp/trash/แบบฟอร์ม.enc")
                          << QString::fromUtf8("/งาน/ส่ง.zip") << "zip"
                          << QString::fromUtf8(R"("/โปรแกรม/bin/zip" -q -j "/งาน/ส่ง.zip" "/tmp/trash/แบบฟอร์ม.enc")");
    QTest::newRow("empty paths") << "" << "" << "" << "zip" << R"("/bin/zip" -q -j "" "")";
    QTest::newRow("quote in a path") << "/q" << "/t/say \"hi\".enc" << "/o.zip" << "zip"
                                     << R"("/q/bin/zip" -q -j "/o.zip" "/t/say """hi""".enc")";
    QTest::newRow("unzip wildcards") << "/q" << "/d[1]/a[1]*?.zip" << "/d[1]/a" << "unzip"
                                     << R"("/q/bin/unzip" -j "/d[1]/a[[]1][*][?].zip" -d "/d[1]/a")";
    for (const char* mode : {"ZIP", "Zip", "", "unzip ", "tar"})
        QTest::newRow(qPrintable(QStringLiteral("mode '%1'").arg(mode))) << "/q" << "a" << "b" << mode << QString();
}

void TestArchiver::commandLine()
{
    QFETCH(QString, folder);
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QString, mode);
    QFETCH(QString, line);
    QCOMPARE(zip::CommandLine(folder, input, output, mode).value_or(QString()), line);
}

void TestArchiver::commandLineSplitsIntoTheExactPaths()
{
    const QString folder = QString::fromUtf8("/opt/my \"q\" prog");
    const QString input = QString::fromUtf8("/tmp/a  b/\"x\" ก.enc");
    const QString output = QStringLiteral("/o/ut put.zip");
    QStringList expected{folder + "/bin/zip", "-q", "-j", output, input};
    QCOMPARE(QProcess::splitCommand(*zip::CommandLine(folder, input, output, "zip")), expected);
}

void TestArchiver::zipAddsOneFileEachCall()
{
    const QString files = m_dir.filePath("my files");
    QDir().mkpath(files);
    const QStringList names{"a b.enc", "c.enc", QString::fromUtf8("ก.enc")};
    for (const QString& name : names)
        WriteFile(files + "/" + name, name.toUtf8().repeated(100));
    const QString archive = m_dir.filePath("new archive.zip");
    for (const QString& name : names) {
        const zip::ArchiverResult result = zip::RunArchiver(files + "/" + name, archive, "zip");
        QVERIFY(result.started);
        QVERIFY2(result.ok(), qPrintable(result.output));
        QCOMPARE(result.program, QCoreApplication::applicationDirPath() + "/bin/zip");
    }
    // Windows' zip records the directory's size as if Thai names were escaped
    // ("#U0e01"): marking makes it what it is, so both come out alike.
    const QString misrecorded = m_dir.filePath("misrecorded.zip");
    QByteArray bytes = ReadFile(archive);
    const qsizetype end = bytes.lastIndexOf(zipformat::SignatureBytes(zipformat::EndSignature));
    qToLittleEndian<quint32>(qFromLittleEndian<quint32>(bytes.constData() + end + 12) + 12, bytes.data() + end + 12);
    WriteFile(misrecorded, bytes);
    archive::MarkUtf8Names(archive);  // as the pack run finishes what zip made
    archive::MarkUtf8Names(misrecorded);
    QCOMPARE(EntriesOf(archive), names);  // bare names, in the order added
    QCOMPARE(ReadFile(misrecorded), ReadFile(archive));
}

void TestArchiver::unzipFlattensIntoNewFolderAndKeepsExistingFiles()
{
    // An archive that stores entries under folders.
    const QString tree = m_dir.filePath("tree");
    QDir().mkpath(tree + "/one/two");
    WriteFile(tree + "/top.enc", "top");
    WriteFile(tree + "/one/two/deep.enc", "deep");
    QProcess make;
    make.setWorkingDirectory(tree);
    make.start(InfoZip("zip"), {"-q", "-r", m_dir.filePath("stored.zip"), "."});
    QVERIFY(make.waitForFinished() && make.exitCode() == 0);

    const QString target = m_dir.filePath("not yet here");
    QVERIFY(!QFileInfo::exists(target));
    QVERIFY(zip::RunArchiver(m_dir.filePath("stored.zip"), target, "unzip").ok());
    QCOMPARE(ReadFile(target + "/top.enc"), QByteArray("top"));
    QCOMPARE(ReadFile(target + "/deep.enc"), QByteArray("deep"));

    // Extracting again never replaces a file that is already there, and asks nothing.
    WriteFile(target + "/top.enc", "changed");
    QFile::remove(target + "/deep.enc");
    QVERIFY(zip::RunArchiver(m_dir.filePath("stored.zip"), target, "unzip").ok());
    QCOMPARE(ReadFile(target + "/top.enc"), QByteArray("changed"));
    QCOMPARE(ReadFile(target + "/deep.enc"), QByteArray("deep"));

    // A damaged archive is a failure.
    WriteFile(m_dir.filePath("broken.zip"), "PK this is not an archive");
    QVERIFY(!zip::RunArchiver(m_dir.filePath("broken.zip"), target, "unzip").ok());
}

void TestArchiver::programFolderWithBlanks()
{
    const QString folder = m_dir.filePath("real program folder");
    QDir().mkpath(folder + "/bin");
    PlaceProgram(InfoZip("zip"), folder + "/bin/zip");
    WriteFile(m_dir.filePath("x.enc"), "x");
    zip::SetProgramFolder(folder);
    QVERIFY(zip::RunArchiver(m_dir.filePath("x.enc"), m_dir.filePath("x archive.zip"), "zip").ok());
    QCOMPARE(EntriesOf(m_dir.filePath("x archive.zip")), QStringList{"x.enc"});
}

void TestArchiver::missingProgramIsError53AndNothingRuns()
{
    const QString empty = m_dir.filePath("empty program folder");
    QDir().mkpath(empty);
    zip::SetProgramFolder(empty);
    for (const char* mode : {"zip", "unzip"}) {
        try {
            zip::RunArchiver("in", "out", mode);
            QFAIL("a missing program was not reported");
        } catch (const RuntimeError& error) {
            QCOMPARE(error.number(), err::FileNotFound);
            QCOMPARE(error.path(), platform::ProgramFile(empty + "/bin/" + mode));
        }
    }
}

void TestArchiver::unknownModeStartsNothing()
{
    zip::SetProgramFolder(StandInFolder());
    const QString record = m_dir.filePath("unknown.record");
    qputenv("QUILLFOLD_STANDIN", ("record:" + record).toUtf8());
    for (const char* mode : {"ZIP", "Unzip", ""}) {
        const zip::ArchiverResult result = zip::RunArchiver("in", "out", mode);
        QVERIFY(!result.started);
        QVERIFY(result.ok());
    }
    QVERIFY(!QFile::exists(record));
}

void TestArchiver::failuresAreReportedNotSwallowed()
{
    zip::SetProgramFolder(StandInFolder());
    qputenv("QUILLFOLD_STANDIN", "exit:15");
    const zip::ArchiverResult failed = zip::RunArchiver("/w/a.enc", "/d/out.zip", "zip");
    QVERIFY(failed.started && !failed.ok() && !failed.crashed);
    QCOMPARE(failed.exitCode, 15);
    try {
        zip::RequireSuccess(failed, "/w/a.enc", "/d/out.zip");
        QFAIL("a failed zip was taken for success");
    } catch (const RuntimeError& error) {
        QCOMPARE(error.number(), err::ArchiverFailed);
        QCOMPARE(error.description(), QStringLiteral("zip ended with exit code 15 (standin error: asked to fail with 15)"));
        QCOMPARE(error.path(), QStringLiteral("/w/a.enc\n/d/out.zip"));
    }

    qputenv("QUILLFOLD_STANDIN", "crash");
    const zip::ArchiverResult crashed = zip::RunArchiver("a", "b", "unzip");
    QVERIFY(crashed.crashed && !crashed.ok());
    try {
        zip::RequireSuccess(crashed, "a", "b");
        QFAIL("a crashed unzip was taken for success");
    } catch (const RuntimeError& error) {
        QVERIFY(error.description().startsWith("unzip crashed"));
    }

    // The real zip, given a file that is not there.
    zip::SetProgramFolder(QString());
    const zip::ArchiverResult real = zip::RunArchiver(m_dir.filePath("none.enc"), m_dir.filePath("none.zip"), "zip");
    QVERIFY(!real.ok());
    QCOMPARE(real.exitCode, 12);  // Info-ZIP: nothing to do
}

void TestArchiver::programsCannotAskQuestions()
{
    zip::SetProgramFolder(StandInFolder());
    qputenv("QUILLFOLD_STANDIN", "ask");
    QCOMPARE(zip::RunArchiver("a", "b", "zip").exitCode, 0);
}

void TestArchiver::waitEndsWhenTheProgramEnds()
{
    // Twenty programs that end at once take hardly longer through the wait
    // than started and waited for plainly: a wait that slept a fixed 100 ms
    // per program would take 2 s more.
    zip::SetProgramFolder(StandInFolder());
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 20; ++i) {
        QProcess plain;
        plain.start(platform::ProgramFile(zip::ProgramFolder() + "/bin/zip"), {});
        QVERIFY(plain.waitForFinished());
    }
    const qint64 plainly = clock.restart();
    for (int i = 0; i < 20; ++i)
        QVERIFY(zip::RunArchiver("a", "b", "zip").ok());
    QVERIFY2(clock.elapsed() < plainly + 1000, qPrintable(QStringLiteral("%1 ms, plainly %2 ms").arg(clock.elapsed()).arg(plainly)));
}

void TestArchiver::eventsRunDuringALongWait()
{
    int ticks = 0;
    QTimer timer;
    timer.setInterval(50);
    connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        QVERIFY(ending::IsWaiting());
    });
    timer.start();
    zip::SetProgramFolder(StandInFolder());
    qputenv("QUILLFOLD_STANDIN", "sleep:700");
    QVERIFY(zip::RunArchiver("a", "b", "zip").ok());
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    QVERIFY(!ending::IsWaiting());
}

void TestArchiver::endingTheProgramStopsTheArchiver_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Exit") << "exit";
    QTest::newRow("SIGTERM") << "signal";
}

void TestArchiver::endingTheProgramStopsTheArchiver()
{
    QFETCH(QString, how);
    if (!Posix && how == "signal")
        QSKIP("Windows has no signals: Ctrl+C at a console is tst_packcli's interruptedLeavesNothing");
    const QString marker = m_dir.filePath("archiver finished");
    QProcess program;
    program.start(BuiltProgram("end_during_wait"), {how, StandInFolder(), marker});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.readAllStandardOutput().replace("\r", ""), QByteArray("stopped\n"));  // the wait unwound, nothing ran after it
    QCOMPARE(program.exitCode(), 0);
    // The archiver was stopped, and does not go on to write anything afterwards.
    QTest::qWait(800);
    QVERIFY(!QFile::exists(marker));
}

QTEST_GUILESS_MAIN(TestArchiver)
#include "tst_archiver.moc"
