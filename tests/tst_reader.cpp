// Reading packages and archives back: the decoder, the recipient's command,
// and the pack run's check of the archive it built.
#include "FakeWindow.h"
#include "Terminal.h"
#include "TestFiles.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "cli/Unpack.h"
#include "credentials/clsCrypt.h"
#include "credentials/var.h"
#include "format/PackageReader.h"
#include "format/security.h"
#include "packing/PackRun.h"
#include "packing/zip.h"
#include "reader/Verify.h"
#include "reader/ZipReader.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTest>
#include <QTextStream>

#include <algorithm>
#include <csignal>
#include <functional>
#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace testfiles;

namespace {
const QByteArray XlsSignature("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);

// The i-th workbook of the 600-entry archive: its records, and 600 bytes that
// do not compress, so that the archive is larger than one read of it and
// entries lie across the reads' edges.
QByteArray ManyPayload(int i)
{
    QRandomGenerator random{quint32(i)};
    return XlsSignature + QByteArray::number(i * 7919).repeated(50) + RandomBytes(600, &random);
}

QString ProblemOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const RuntimeError& error) {
        return QString::number(error.number()) + u' ' + error.description();
    }
    return {};
}

void Zip(const QString& archive, const QStringList& files)
{
    QCOMPARE(testfiles::Zip(QStringList{"-q", "-j", archive} + files), 0);
}

// A package, its header as read back, and the restored body.
struct ReadBack {
    security::PackageInfo info;
    QByteArray body;
};

ReadBack ReadPackage(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    ReadBack back;
    back.info = security::ReadHeader(file, file.size());
    QBuffer body;
    body.open(QIODevice::WriteOnly);
    security::WritePackageBody(file, back.info.bodyLength, body, path, "body");
    back.body = body.data();
    return back;
}
}  // namespace

class TestReader : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void roundTrip();
    void malformedPackagesAreNamed();
    void lengthMismatchIsSeen();
    void userIDEndingInABlankByteReadsShort();
    void extensionsAndNames();

    void unpackRestoresByteIdentical();
    void unpackRefusesWrongPasswordAndNeverOverwrites();
    void unpackReportsBrokenInput();
    void unpackProgram();
    void unpackEdgeCases_data();
    void unpackEdgeCases();
    void passwordPromptGivesTheTerminalBack();

    void verifySeesEveryDifference();
    void packRunFailsWhenTheArchiveLacksAPackage();

private:
    int RunUnpack(const unpack::Options& options);
    QString Path(const QString& name) const { return m_dir.filePath(name); }
    QString MakeArchive();  // three packages: .xls, .xlsx and other content

    QTemporaryDir m_dir;
    QString m_out, m_err;
};

void TestReader::init()
{
    QDir().mkpath(Path("out"));
    m_out.clear();
    m_err.clear();
}

void TestReader::cleanup()
{
    QDir(m_dir.path()).removeRecursively();
    QDir().mkpath(m_dir.path());
    zip::SetProgramFolder(QString());
    qunsetenv("QUILLFOLD_STANDIN");
}

int TestReader::RunUnpack(const unpack::Options& options)
{
    QTextStream out(&m_out);
    QTextStream err(&m_err);
    return unpack::Run(options, out, err);
}

QString TestReader::MakeArchive()
{
    WriteFile(Path("a.xls"), XlsSignature + QByteArray(5000, 'x'));
    WriteFile(Path("b.xlsx"), zipformat::SignatureBytes(zipformat::LocalHeaderSignature) + "sheet data");
    WriteFile(Path("c.txt"), "plain text");
    QStringList packages;
    for (const char* name : {"a.xls", "b.xlsx", "c.txt"}) {
        const QString package = Path(text::BaseNameOf(name) + ".enc");
        security::WritePackageFile(Path(name), package, "CLERK", "SECRET");
        packages << package;
    }
    Zip(Path("hand over.zip"), packages);
    return Path("hand over.zip");
}

void TestReader::roundTrip()
{
    auto* random = QRandomGenerator::global();
    const QString thai = QString::fromUtf8("กขคงจฉชซฌญฎฏ");
    for (int round = 0; round < 40; ++round) {
        QByteArray source(random->bounded(0, 70000), Qt::Uninitialized);
        for (char& c : source)
            c = char(random->bounded(256));
        QString user;
        for (int i = random->bounded(1, 13); i > 0; --i)
            user += random->bounded(3) == 0 ? thai[random->bounded(thai.size())] : QChar(u'A' + random->bounded(26));
        QString password;
        for (int i = random->bounded(3, 13); i > 0; --i)
            password += QChar(u'a' + random->bounded(26));

        WriteFile(Path("src.bin"), source);
        security::WritePackageFile(Path("src.bin"), Path("src.enc"), text::ToAnsi(user),
                                   text::ToAnsi(text::UpperAscii(password)));
        const ReadBack back = ReadPackage(Path("src.enc"));
        QCOMPARE(back.info.declaredLength, source.size());
        QVERIFY(back.info.LengthMatches());
        QCOMPARE(back.info.UserIDText(), user);
        QVERIFY(security::PasswordMatches(back.info, "  " + password + " "));  // trimmed, upper-cased
        QVERIFY(!security::PasswordMatches(back.info, password + "x"));
        QCOMPARE(back.body, source);
    }
}

void TestReader::malformedPackagesAreNamed()
{
    const QByteArray good = security::PackageHeader(3, "U", "P") + "abc";
    QCOMPARE(ProblemOf([&] { security::DecodeHeader(good, good.size()); }), QString());

    const auto problem = [](QByteArray package) {
        return ProblemOf([&] { security::DecodeHeader(package, package.size()); });
    };
    QVERIFY(problem(good.left(56)).contains("shorter than the 57-byte header"));
    QVERIFY(problem(QByteArray()).contains("shorter"));
    QByteArray blankLength = good;
    blankLength.replace(0, 10, QByteArray(10, ' '));
    QVERIFY(problem(blankLength).contains("length field is blank"));
    QByteArray letters = good;
    letters.replace(0, 10, text::PadField(clsCrypt().EnCrypt("12a"), 10));
    QVERIFY(problem(letters).contains("1 to 10 digits"));
    QByteArray leadingZero = good;
    leadingZero.replace(0, 10, text::PadField(clsCrypt().EnCrypt("03"), 10));
    QVERIFY(problem(leadingZero).contains("leading zero"));
    QByteArray huge = good;
    huge.replace(0, 10, clsCrypt().EnCrypt("9999999999"));
    QVERIFY(problem(huge).contains("more than a package can hold"));
    QByteArray noBlanks = good;
    noBlanks[55] = 'x';
    QVERIFY(problem(noBlanks).contains("digest field"));
    QByteArray notHex = good;
    notHex[22] = char(notHex[22] ^ 0x7f);
    QVERIFY(problem(notHex).contains("digest field"));
    QVERIFY(problem(good.left(56)).startsWith("1004 "));
}

void TestReader::lengthMismatchIsSeen()
{
    WriteFile(Path("a.xls"), "0123456789");
    security::WritePackageFile(Path("a.xls"), Path("a.enc"), "U", "PWD");
    QFile package(Path("a.enc"));
    QVERIFY(package.resize(57 + 4));
    const security::PackageInfo info = ReadPackage(Path("a.enc")).info;
    QCOMPARE(info.declaredLength, 10);
    QCOMPARE(info.bodyLength, 4);
    QVERIFY(!info.LengthMatches());
}

void TestReader::userIDEndingInABlankByteReadsShort()
{
    // "ABCD@" enciphers its '@' to a blank (the key has '`' there): its header is
    // byte for byte that of "ABCD", and it reads back as "ABCD".
    const QByteArray key = clsCrypt().EnCrypt(QByteArray(12, '\0'));
    QCOMPARE(key.at(4), '`');
    QCOMPARE(security::PackageHeader(0, "ABCD@", "P"), security::PackageHeader(0, "ABCD", "P"));
    const QByteArray header = security::PackageHeader(0, "ABCD@", "P");
    QCOMPARE(security::DecodeHeader(header, header.size()).userID, QByteArray("ABCD"));
}

void TestReader::extensionsAndNames()
{
    QCOMPARE(security::ExtensionFor(XlsSignature + "more"), QStringLiteral(".xls"));
    QCOMPARE(security::ExtensionFor(zipformat::SignatureBytes(zipformat::LocalHeaderSignature) + "rest"), QStringLiteral(".xlsx"));
    QCOMPARE(security::ExtensionFor("PK"), QStringLiteral(".bin"));
    QCOMPARE(security::ExtensionFor(QByteArray()), QStringLiteral(".bin"));
    QCOMPARE(unpack::RestoredName("a.enc", ".xls"), QStringLiteral("a.xls"));
    QCOMPARE(unpack::RestoredName("../../etc/evil.enc", ".bin"), QStringLiteral("evil.bin"));
    QCOMPARE(unpack::RestoredName("dir\\x.ENC", ".xls"), QStringLiteral("x.xls"));
    QCOMPARE(unpack::RestoredName(".enc", ".xls"), QStringLiteral("package.xls"));
    QCOMPARE(unpack::RestoredName("..", ".bin"), QStringLiteral("package.bin"));
    QCOMPARE(unpack::RestoredName(QStringLiteral(u"\u0e01\u2028b\x7f.enc"), ".xls"), QStringLiteral(u"\u0e01_b_.xls"));
}

void TestReader::unpackRestoresByteIdentical()
{
    const QString archive = MakeArchive();
    RecordingProbe probe;
    QCOMPARE(RunUnpack({{archive}, QStringLiteral("secret"), Path("out")}), unpack::AllGood);
    for (const char* restored : {"out/a.xls", "out/b.xlsx", "out/c.bin"})  // on disk before it is reported
        QVERIFY2(probe.DurablyNamed(Path(restored)), qPrintable(probe.Calls().join(u'\n')));
    QCOMPARE(ReadFile(Path("out/a.xls")), ReadFile(Path("a.xls")));
    QCOMPARE(ReadFile(Path("out/b.xlsx")), ReadFile(Path("b.xlsx")));
    QCOMPARE(ReadFile(Path("out/c.bin")), ReadFile(Path("c.txt")));
    const QStringList lines = m_out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], archive + ":a.enc  user CLERK  5008 bytes  length ok  password ok  restored as " +
                           Path("out/a.xls"));
    QVERIFY(m_err.isEmpty());

    // A package file on its own works the same way; listing needs no password.
    QCOMPARE(RunUnpack({{Path("c.enc")}, std::nullopt, QString()}), unpack::AllGood);
    QVERIFY(m_out.endsWith(Path("c.enc") + "  user CLERK  10 bytes  length ok\n"));
    // Package files given one by one are put on disk together, not one flush each.
    RecordingProbe separately;
    QCOMPARE(RunUnpack({{Path("a.enc"), Path("b.enc"), Path("c.enc")}, QStringLiteral("secret"), Path("one-by-one")}),
             unpack::AllGood);
    QCOMPARE(separately.Calls().filter(QRegularExpression("^SyncAll ")).size(), 1);
}

void TestReader::unpackRefusesWrongPasswordAndNeverOverwrites()
{
    const QString archive = MakeArchive();
    QCOMPARE(RunUnpack({{archive}, QStringLiteral("wrong"), Path("out")}), unpack::CheckFailed);
    QVERIFY(QDir(Path("out")).isEmpty());
    QCOMPARE(m_out.count("password WRONG  not restored"), 3);

    WriteFile(Path("out/b.xlsx"), "someone's own file");
    QCOMPARE(RunUnpack({{archive}, QStringLiteral("SECRET"), Path("out")}), unpack::CheckFailed);
    QCOMPARE(ReadFile(Path("out/b.xlsx")), QByteArray("someone's own file"));
    QVERIFY(m_err.contains("exists already; not overwritten"));
    QCOMPARE(ReadFile(Path("out/a.xls")), ReadFile(Path("a.xls")));  // the others were restored

    // Nor a file put in the way while restoring into a folder that was empty.
    RecordingProbe probe;
    probe.fail = [&](platform::Call call, const QString&) {
        if (call == platform::Call::Rename && !QFile::exists(Path("new/a.xls")))
            WriteFile(Path("new/a.xls"), "someone's new file");
        return 0;
    };
    m_err.clear();
    QCOMPARE(RunUnpack({{archive}, QStringLiteral("SECRET"), Path("new")}), unpack::CheckFailed);
    QCOMPARE(ReadFile(Path("new/a.xls")), QByteArray("someone's new file"));
    QVERIFY(m_err.contains("new/a.xls: exists already; not overwritten"));
    QCOMPARE(ReadFile(Path("new/b.xlsx")), ReadFile(Path("b.xlsx")));
}

void TestReader::unpackReportsBrokenInput()
{
    // A package whose body was cut short: listed, and a failed check.
    WriteFile(Path("a.xls"), XlsSignature + QByteArray(100, 'x'));
    security::WritePackageFile(Path("a.xls"), Path("a.enc"), "U", "PWD");
    QFile(Path("a.enc")).resize(80);
    QCOMPARE(RunUnpack({{Path("a.enc")}, QStringLiteral("pwd"), Path("out")}), unpack::CheckFailed);
    QVERIFY(m_out.contains("length MISMATCH (header says 108)  password ok  not restored"));

    // Not a package at all, or missing: unreadable input.
    WriteFile(Path("short.enc"), "tiny");
    QCOMPARE(RunUnpack({{Path("short.enc"), Path("missing.zip")}, std::nullopt, QString()}), unpack::BadInput);
    QVERIFY(m_err.contains("shorter than the 57-byte header"));
    QVERIFY(m_err.contains("File not found"));

    // A damaged entry in an archive: its CRC fails and nothing half-written stays.
    QByteArray noise(200000, Qt::Uninitialized);  // stored as it is: the damage hits the data
    QRandomGenerator(3).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    WriteFile(Path("big.xls"), XlsSignature + noise);
    security::WritePackageFile(Path("big.xls"), Path("big.enc"), "U", "PWD");
    Zip(Path("damaged.zip"), {Path("big.enc")});
    QFile damaged(Path("damaged.zip"));
    QVERIFY(damaged.open(QIODevice::ReadWrite));
    QByteArray bytes = damaged.readAll();
    bytes[bytes.size() / 3] = char(bytes[bytes.size() / 3] ^ 0x55);
    damaged.seek(0);
    damaged.write(bytes);
    damaged.close();
    m_err.clear();
    QCOMPARE(RunUnpack({{Path("damaged.zip")}, QStringLiteral("pwd"), Path("out")}), unpack::CheckFailed);
    QVERIFY2(m_err.contains("does not match its CRC"), qPrintable(m_err));
    QVERIFY(!QFileInfo::exists(Path("out/big.xls")));
}

void TestReader::unpackProgram()
{
    const QString archive = MakeArchive();
    const QString program = BuiltProgram("quillfold-unpack");
    QProcess run;
    run.setStandardInputFile(QProcess::nullDevice());  // no terminal: no question
    run.start(program, {"--password", "secret", "--out", Path("out"), archive});
    QVERIFY(run.waitForFinished());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(run.readAllStandardOutput()).count("restored as"), 3);

    for (const QStringList& arguments : {QStringList{}, QStringList{"--out", Path("out"), archive},
                                         QStringList{"--bogus", archive}}) {
        run.start(program, arguments);
        QVERIFY(run.waitForFinished());
        QCOMPARE(run.exitCode(), 2);
    }
    run.start(program, {"--help"});
    QVERIFY(run.waitForFinished());
    QCOMPARE(run.exitCode(), 0);
    const QByteArray help = run.readAllStandardOutput();
    QVERIFY(help.contains("Exit codes"));
    QVERIFY(help.contains("--password-file"));
    QVERIFY(help.contains("other users can see"));  // the warning that goes with --password
}

void TestReader::verifySeesEveryDifference()
{
    WriteFile(Path("a.enc"), "first package");
    WriteFile(Path("b.enc"), "second package");
    const auto expect = [&](const QString& name) {
        return archive::Expected{name.toUtf8(), QFileInfo(Path(name)).size(), archive::FileCrc(Path(name)), {}};
    };
    const QList<archive::Expected> both{expect("a.enc"), expect("b.enc")};
    Zip(Path("good.zip"), {Path("a.enc"), Path("b.enc")});
    QCOMPARE(ProblemOf([&] { archive::VerifyArchive(Path("good.zip"), both); }), QString());

    Zip(Path("lacking.zip"), {Path("a.enc")});
    QVERIFY(ProblemOf([&] { archive::VerifyArchive(Path("lacking.zip"), both); }).contains("b.enc is missing"));
    QVERIFY(ProblemOf([&] { archive::VerifyArchive(Path("good.zip"), {both[0]}); })
                .contains("b.enc was not packed by this run"));

    WriteFile(Path("b.enc"), "second package, altered");
    Zip(Path("altered.zip"), {Path("a.enc"), Path("b.enc")});
    QVERIFY(ProblemOf([&] { archive::VerifyArchive(Path("altered.zip"), both); })
                .contains("b.enc differs from the package that was written"));
    QVERIFY(ProblemOf([&] { archive::VerifyArchive(Path("altered.zip"), both); }).startsWith("1003 "));

    WriteFile(Path("notzip.zip"), "nothing like an archive");
    QVERIFY(ProblemOf([&] { archive::VerifyArchive(Path("notzip.zip"), both); }).startsWith("1005 "));

    // Neither a part of a split archive (a disk number 1, or fewer entries on
    // this disk than in all) nor a directory that runs into the end record
    // (its recorded size one too large).
    const QByteArray good = ReadFile(Path("good.zip"));
    const qsizetype end = good.lastIndexOf(zipformat::SignatureBytes(zipformat::EndSignature));
    const char* split = "1005 Not a readable ZIP archive: it is one part of an archive split";
    for (const auto& [field, problem] : {std::pair{4, split}, std::pair{6, split}, std::pair{8, split},
                                         std::pair{12, "1005 Not a readable ZIP archive: its directory is damaged"}}) {
        QByteArray bytes = good;
        bytes[end + field] = char(bytes[end + field] + 1);
        WriteFile(Path("good.zip"), bytes);
        QVERIFY(ProblemOf([&] { archive::VerifyArchive(Path("good.zip"), both); }).startsWith(problem));
    }
}


void TestReader::packRunFailsWhenTheArchiveLacksAPackage()
{
    // A zip that says it added b.enc but did not.
    zip::SetProgramFolder(StandInFolder(Path("liar")));
    qputenv("QUILLFOLD_STANDIN", "lie:b.enc");
    UseTempFolder(Path("tmp"));
    QDir().mkpath(Path("tmp"));
    QDir().mkpath(Path("src"));
    WriteFile(Path("src/a.xls"), "a");
    WriteFile(Path("src/b.xls"), "b");

    fakewindow::FakeWindow window;
    window.LogInAs("U", "PWD");
    window.list = QStringList{"a.xls", "b.xls"};
    window.text1 = Path("src");
    window.text2 = Path("hand over.zip");
    packing::PackRun(window);
    const QString report = window.messages.last().prompt;
    QVERIFY2(report.contains("\n\nRun-time error '1003':"), qPrintable(report));
    QVERIFY(report.contains("b.enc is missing"));
    QVERIFY(!QFileInfo::exists(window.text2));  // never left looking finished
    QCOMPARE(window.list.size(), 2);
}

void TestReader::unpackEdgeCases_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("said");      // in stdout
    QTest::addColumn<QStringList>("problems");  // in stderr
    QTest::addColumn<QStringList>("restored");  // files in the output folder afterwards
    QTest::newRow("a pipe as input") << "fifo" << 2 << QStringList{} << QStringList{"not a regular file"}
                                     << QStringList{};
    QTest::newRow("second of three entries broken")
        << "broken" << 2 << QStringList{":a.enc", ":c.enc", "restored as"}
        << QStringList{"b.enc", "local header of b.enc is damaged"} << QStringList{"a.xls", "c.bin"};
    QTest::newRow("escape sequence and newline in a name")
        << "escape" << 0 << QStringList{"e\\x1b[2J\\x0aFAKE.enc  user CLERK", "restored as out/e_[2J_FAKE.bin"}
        << QStringList{} << QStringList{"e_[2J_FAKE.bin"};
    QTest::newRow("NUL in a name") << "nul" << 0 << QStringList{"a\\x00b.enc", "restored as out/a_b.bin"}
                                   << QStringList{} << QStringList{"a_b.bin"};
    QTest::newRow("control characters in a user ID")
        << "user" << 0 << QStringList{"user A\\x1b]0;B\\x07"} << QStringList{} << QStringList{"u.bin"};
    QTest::newRow("output folder made") << "newout" << 0 << QStringList{"restored as out/a.xls"} << QStringList{}
                                        << QStringList{"a.xls"};
    QTest::newRow("output folder's parent missing")
        << "noparent" << 2 << QStringList{} << QStringList{"the output folder cannot be made: No such file"}
        << QStringList{};
    QTest::newRow("output folder read-only") << "readonly" << 1 << QStringList{"not restored"}
                                             << QStringList{"out/a.xls: permission denied"} << QStringList{};
    QTest::newRow("name too long") << "longname" << 1 << QStringList{"not restored"}
                                   << QStringList{"name too long"} << QStringList{};
    QTest::newRow("not enough free space")
        << "full" << 1 << QStringList{"big.enc", "restored as out/a.xls"}
        << QStringList{"out/big.bin: needs 3000000 bytes, only"} << QStringList{"a.xls"};
    QTest::newRow("password from a file") << "pwfile" << 0 << QStringList{"password ok  restored as out/a.xls"}
                                          << QStringList{} << QStringList{"a.xls"};
    QTest::newRow("password on standard input") << "stdin" << 0 << QStringList{"password ok  restored as out/a.xls"}
                                                << QStringList{} << QStringList{"a.xls"};
    QTest::newRow("a folder entry that holds data")
        << "folderdata" << 1 << QStringList{"restored as out/a.xls"}
        << QStringList{"x.enc/: a folder entry that holds 5 bytes; not restored"} << QStringList{"a.xls"};
    // More entries than are inflated and made ahead at once, a damaged one
    // among them, and two far apart that restore to one name: the first in
    // the archive takes it.
    QStringList many{"x.xls"};
    for (int i = 0; i < 600; ++i)
        many << QStringLiteral("w%1.xls").arg(i);
    many.removeOne("w300.xls");
    many.sort();
    QTest::newRow("600 entries, one damaged, a name taken twice")
        << "many" << 2 << QStringList{":x.enc  user CLERK  13 bytes  length ok  password ok  restored as out/x.xls",
                                       ":x  user CLERK  14 bytes  length ok  password ok  not restored", ":w599.enc"}
        << QStringList{"w300.enc: ", "out/x.xls: clashes with archive.zip:x.enc, restored under this name before it"} << many;
    QTest::newRow("the same, with 200 files open at most")
        << "many, few files" << 2 << QStringList{":x.enc  user CLERK  13 bytes  length ok  password ok  restored as out/x.xls"}
        << QStringList{"w300.enc: ", "out/x.xls: clashes with archive.zip:x.enc, restored under this name before it"} << many;
    QTest::newRow("the same, listed only")
        << "many listed" << 2 << QStringList{":x.enc  user CLERK  13 bytes  length ok  password ok\n",
                                              ":x  user CLERK  14 bytes  length ok  password ok\n", ":w599.enc"}
        << QStringList{"w300.enc: "} << QStringList{};
    QTest::newRow("report on a full disk") << "devfull" << 2 << QStringList{}
                                           << QStringList{"cannot write to standard output"} << QStringList{"a.xls"};
    // The environment: a link planted in a shared folder, a file-size limit,
    // few descriptors, no thread to be had, a password file that is no such.
    QTest::newRow("output folder a link another user planted")
        << "planted" << 2 << QStringList{} << QStringList{"shared/out is a link that nobody made in a folder that everyone may write in"}
        << QStringList{};
    QTest::newRow("a workbook past the file-size limit")
        << "fsize" << 1 << QStringList{"big.enc", "restored as out/a.xls"}
        << QStringList{"big.enc: not restored: File too large for this account's file-size limit"} << QStringList{"a.xls"};
    QStringList thousands;
    for (int i = 0; i < 4000; ++i)
        thousands << QStringLiteral("f%1.xls").arg(i);
    thousands.sort();
    QTest::newRow("4,000 workbooks from 16 descriptors") << "descriptors" << 0 << QStringList{"restored as out/f3999.xls"}
                                                         << QStringList{} << thousands;
    QTest::newRow("no thread to be had beside the first") << "nproc" << 0 << QStringList{"restored as out/c.bin"}
                                                          << QStringList{} << QStringList{"a.xls", "b.xls", "c.bin"};
    QTest::newRow("a password file of 16 MB without a line end")
        << "bigpw" << 2 << QStringList{} << QStringList{"its first line is longer than 4096 bytes"} << QStringList{};
    // Archives from elsewhere: Thai names as Thai Windows stores them (its
    // code page, unmarked), two names that restore as one, and archives
    // behind a self-extracting program's stub, as it is and as zip -A leaves it.
    QTest::newRow("names from Thai Windows")
        << "thai" << 0 << QStringList{QString::fromUtf8(":กา.enc  user CLERK"), QString::fromUtf8("restored as out/ขา.xls")}
        << QStringList{} << QStringList{QString::fromUtf8("กา.xls"), QString::fromUtf8("ขา.xls")};
    QTest::newRow("two names that restore as one")
        << "clash" << 1 << QStringList{"restored as out/a_b.xls"}
        << QStringList{"archive.zip:a\\x02b.enc: not restored: out/a_b.xls: clashes with archive.zip:a\\x01b.enc"}
        << QStringList{"a_b.xls"};
    QTest::newRow("an archive behind a stub") << "stub" << 1 << QStringList{"restored as out/a.xls"}
                                              << QStringList{"5000 bytes lie before the archive's start"} << QStringList{"a.xls"};
    QTest::newRow("the same, its offsets adjusted") << "stub adjusted" << 0 << QStringList{"restored as out/a.xls"}
                                                    << QStringList{} << QStringList{"a.xls"};
    QTest::newRow("a security descriptor of a version unknown")
        << "ntsd" << 2 << QStringList{"restored as out/a.xls"}
        << QStringList{"b.enc: its security descriptor is of unknown version 1"} << QStringList{"a.xls"};
    QTest::newRow("what a killed restore left")
        << "leftover" << 0 << QStringList{"restored as out/a.xls"} << QStringList{}
        << QStringList{".quillfold-unfinished-" + QSysInfo::machineHostName() + "-" +
                           QString::number(QCoreApplication::applicationPid()) + "-aB3dE9",
                       "a.xls"};
}

void TestReader::unpackEdgeCases()
{
    QFETCH(QString, scenario);
    QFETCH(int, exitCode);
    QFETCH(QStringList, said);
    QFETCH(QStringList, problems);
    QFETCH(QStringList, restored);
    if (!Posix && QStringList{"fifo", "readonly", "full", "longname", "folderdata", "devfull", "many, few files", "planted",
                              "fsize", "descriptors", "nproc", "clash", "stub adjusted", "ntsd"}
                      .contains(scenario))
        QSKIP("needs what only POSIX has here: pipes in the file system, other users, mounts, limits, Python, /dev/full");
    if ((scenario == "planted" || scenario == "nproc") && !Root())
        QSKIP("needs another user than this one, whom only root can become or give files to here");
    QDir::setCurrent(m_dir.path());
    QDir(Path("out")).removeRecursively();
    const QString program = BuiltProgram("quillfold-unpack");
    QStringList prefix;  // a program to run it through
    QString outDir = QStringLiteral("out");
    QString input = QStringLiteral("archive.zip");

    // A package for each name; zipped by archive(), then the names changed in
    // place (same length) by rename(): zip itself would not store such names.
    const auto packageFiles = [&](const QList<QPair<QByteArray, QByteArray>>& packages) {
        QStringList files;
        for (const auto& [name, content] : packages) {
            WriteFile(Path("w.xls"), content);
            security::WritePackageFile(Path("w.xls"), Path(name), "CLERK", "SECRET");
            files << Path(name);
        }
        return files;
    };
    const auto archive = [&](const QList<QPair<QByteArray, QByteArray>>& packages) {
        Zip(Path("archive.zip"), packageFiles(packages));
    };
    const auto rename = [&](const QByteArray& from, const QByteArray& to) {
        WriteFile(Path("archive.zip"), ReadFile(Path("archive.zip")).replace(from, to));
    };
    if (scenario == "fifo") {
#ifndef Q_OS_WIN
        QCOMPARE(::mkfifo(QFile::encodeName(Path("pipe.zip")).constData(), 0600), 0);
#endif
        input = "pipe.zip";
    } else if (scenario == "broken") {
        archive({{"a.enc", XlsSignature + "first"}, {"b.enc", "second"}, {"c.enc", "third"}});
        QByteArray bytes = ReadFile(Path("archive.zip"));
        bytes.replace(bytes.indexOf(zipformat::SignatureBytes(zipformat::LocalHeaderSignature), 10), 4, QByteArray("PK\0\0", 4));
        WriteFile(Path("archive.zip"), bytes);
    } else if (scenario == "escape") {
        archive({{"eXX2JXFAKE.enc", "workbook"}});
        rename("eXX2JXFAKE", "e\x1b[2J\nFAKE");
    } else if (scenario == "nul") {
        archive({{"aXb.enc", "workbook"}});
        rename("aXb", QByteArray("a\0b", 3));
    } else if (scenario == "user") {
        WriteFile(Path("w.xls"), "workbook");
        security::WritePackageFile(Path("w.xls"), Path("u.enc"), "A\x1b]0;B\x07", "SECRET");
        input = "u.enc";
    } else if (scenario == "newout" || scenario == "noparent" || scenario == "readonly") {
        archive({{"a.enc", XlsSignature + "first"}});
        if (scenario == "noparent")
            outDir = "nowhere/out";
        if (scenario == "readonly") {
            QDir().mkpath(Path("out"));
#ifndef Q_OS_WIN
            if (::geteuid() == 0) {  // root may write anywhere: run as nobody
                for (const QString& path : {m_dir.path(), Path("archive.zip")})
                    QFile::setPermissions(path, QFileDevice::Permissions(0x7755));
                prefix = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
            } else {
                QFile::setPermissions(Path("out"), QFileDevice::Permissions(0x5555));
            }
#endif
        }
    } else if (scenario == "longname") {
        packageFiles({{"a.enc", XlsSignature + "first"}});
        QCOMPARE(QProcess::execute("python3", {"-c",
                                               "import sys, zipfile\n"
                                               "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
                                               "z.writestr('x' * 300 + '.enc', open(sys.argv[2], 'rb').read())\n",
                                               Path("archive.zip"), Path("a.enc")}),
                 0);
    } else if (scenario == "pwfile" || scenario == "stdin" || scenario == "leftover" || scenario == "devfull") {
        archive({{"a.enc", XlsSignature + "first"}});
        WriteFile(Path("pw"), "secret\n");
        if (scenario == "leftover") {
            // Restores killed before they ended: one of a process that is gone, one of a process that runs.
            QDir().mkpath(Path("out"));
            const QString host = QSysInfo::machineHostName();
            WriteFile(Path("out/.quillfold-unfinished-" + host + "-" + QString::number(DeadPid()) + "-Zz9Yy8"), "half");
            WriteFile(Path("out/.quillfold-unfinished-" + host + "-" + QString::number(QCoreApplication::applicationPid()) +
                           "-aB3dE9"),
                      "still being written");
        }
    } else if (scenario == "folderdata") {
        archive({{"a.enc", XlsSignature + "first"}});
        QCOMPARE(QProcess::execute("python3", {"-c",
                                               "import sys, zipfile\n"
                                               "zipfile.ZipFile(sys.argv[1], 'a').writestr('x.enc/', b'12345')\n",
                                               Path("archive.zip")}),
                 0);
    } else if (scenario == "ntsd") {
        // Sound in all that unzip -t checks of it but its version byte.
        packageFiles({{"a.enc", XlsSignature + "first"}, {"b.enc", XlsSignature + "second"}});
        QCOMPARE(QProcess::execute("python3", {"-c", R"(import sys, struct, zlib, zipfile
raw = bytes(64)
packer = zlib.compressobj(9, zlib.DEFLATED, -15)
data = struct.pack("<IBHI", len(raw), 1, 8, zlib.crc32(raw)) + packer.compress(raw) + packer.flush()
with zipfile.ZipFile(sys.argv[1], "w") as archive:
    for name in ("a.enc", "b.enc"):
        info = zipfile.ZipInfo(name)
        info.extra = struct.pack("<HH", 0x4453, len(data)) + data if name == "b.enc" else b""
        archive.writestr(info, open(sys.argv[2] + "/" + name, "rb").read())
)", Path("archive.zip"), m_dir.path()}),
                 0);
    } else if (scenario.startsWith("many")) {
        QList<QPair<QByteArray, QByteArray>> packages{{"x.enc", XlsSignature + "first"}};
        for (int i = 0; i < 600; ++i)
            packages.append({"w" + QByteArray::number(i) + ".enc", ManyPayload(i)});
        packages.append({"x", XlsSignature + "second"});
        archive(packages);
        QByteArray bytes = ReadFile(Path("archive.zip"));
        const qsizetype name = bytes.indexOf("w300.enc");  // in its local header, then its data
        const qsizetype data = name + 8 + qFromLittleEndian<quint16>(bytes.constData() + name - 2);
        bytes[data + 3] = char(bytes[data + 3] ^ 0x55);
        WriteFile(Path("archive.zip"), bytes);
        if (scenario == "many, few files")  // a file waiting for its name is held open
            prefix = QStringList{"prlimit", "--nofile=200"};
    } else if (scenario == "planted") {
#ifndef Q_OS_WIN
        archive({{"a.enc", XlsSignature + "first"}});
        QDir().mkpath(Path("shared"));
        ::chmod(QFile::encodeName(Path("shared")).constData(), 01777);
        const QByteArray link = QFile::encodeName(Path("shared/out"));
        QCOMPARE(::symlink("../out", link.constData()), 0);
        QCOMPARE(::lchown(link.constData(), 65534, 65534), 0);
        outDir = "shared/out";
#endif
    } else if (scenario == "fsize") {
        archive({{"big.enc", RandomBytes(3000000)}, {"a.enc", XlsSignature + "first"}});
        prefix = QStringList{"prlimit", "--fsize=2000000", "--"};
    } else if (scenario == "descriptors") {
        QList<QPair<QByteArray, QByteArray>> packages;
        for (int i = 0; i < 4000; ++i)
            packages.append({"f" + QByteArray::number(i) + ".enc", XlsSignature + QByteArray::number(i)});
        archive(packages);
        prefix = QStringList{"prlimit", "--nofile=16", "--"};
    } else if (scenario == "nproc") {
#ifndef Q_OS_WIN
        archive({{"a.enc", XlsSignature + "first"}, {"b.enc", XlsSignature + "second"}, {"c.enc", "third"}});
        for (const QString& path : {m_dir.path(), Path("archive.zip")})
            QFile::setPermissions(path, QFileDevice::Permissions(0x7755));
        QDir().mkpath(Path("out"));
        QFile::setPermissions(Path("out"), QFileDevice::Permissions(0x7777));
        prefix = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + WithoutLeakCheck() +
                 QStringList{"prlimit", "--nproc=1", "--"};
#endif
    } else if (scenario == "bigpw") {
        archive({{"a.enc", XlsSignature + "first"}});
        WriteFile(Path("pw"), QByteArray(16 << 20, 'p'));
    } else if (scenario == "thai" || scenario == "clash") {
        // Names of the same length, changed in place; for Thai Windows, the
        // directory says an MS-DOS system wrote them, as zip.exe there does.
        const bool thai = scenario == "thai";
        archive({{thai ? "Q1.enc" : "aXb.enc", XlsSignature + "first"}, {thai ? "Q2.enc" : "aYb.enc", XlsSignature + "second"}});
        rename(thai ? "Q1.enc" : "aXb.enc", thai ? "\xA1\xD2.enc" : "a\x01" "b.enc");  // กา, in Windows-874
        rename(thai ? "Q2.enc" : "aYb.enc", thai ? "\xA2\xD2.enc" : "a\x02" "b.enc");  // ขา
        QByteArray bytes = ReadFile(Path("archive.zip"));
        for (qsizetype at = 0; (at = bytes.indexOf(zipformat::SignatureBytes(zipformat::CentralHeaderSignature), at)) >= 0; at += 4)
            bytes[at + 5] = 0;  // version made by: MS-DOS
        WriteFile(Path("archive.zip"), bytes);
    } else if (scenario.startsWith("stub")) {
        archive({{"a.enc", XlsSignature + "first"}});
        WriteFile(Path("archive.zip"), "MZ" + QByteArray(4998, 'x') + ReadFile(Path("archive.zip")));
        if (scenario == "stub adjusted")
            QCOMPARE(testfiles::Zip({"-q", "-A", Path("archive.zip")}), 0);
    } else if (scenario == "full") {
        archive({{"big.enc", QByteArray(3000000, 'z')}, {"a.enc", XlsSignature + "first"}});
        QDir().mkpath(Path("out"));
        // The output folder on a file system of 1 MiB, in a mount namespace of its own.
        prefix = QStringList{"unshare", "--map-root-user", "--mount", "sh", "-c",
                             "mount -t tmpfs -o size=1m tmpfs out && exec \"$0\" \"$@\""};
    }

    QProcess run;
    QStringList arguments{"--password", "secret", "--out", outDir, input};
    if (scenario == "many listed")
        arguments.remove(2, 2);
    if (scenario == "stdin") {
        arguments.remove(0, 2);
        run.setStandardInputFile(Path("pw"));
    } else {
        run.setStandardInputFile(QProcess::nullDevice());
    }
    if (scenario == "pwfile" || scenario == "bigpw")
        arguments[0] = "--password-file", arguments[1] = "pw";
    if (scenario == "devfull")  // what was restored stays restored
        run.setStandardOutputFile("/dev/full");
    if (prefix.isEmpty())
        run.start(program, arguments);
    else
        run.start(prefix.first(), prefix.mid(1) + QStringList{program} + arguments);
    QVERIFY2(run.waitForFinished(60000), "it hung");
    // Lines end as the system ends them ("\r\n" on Windows).
    const QString out = QString::fromUtf8(run.readAllStandardOutput().replace("\r\n", "\n"));
    const QString err = QString::fromUtf8(run.readAllStandardError().replace("\r\n", "\n"));
    const QString context = out + err;
    QVERIFY2(run.exitCode() == exitCode, qPrintable(context));
    for (const QString& text : said)
        QVERIFY2(out.contains(text), qPrintable(context));
    for (const QString& text : problems)
        QVERIFY2(err.contains(text), qPrintable(context));
    // Nothing reaches the terminal that could steer it.
    QVERIFY2(std::none_of(context.begin(), context.end(),
                          [](QChar c) { return c != u'\n' && c.category() == QChar::Other_Control; }),
             qPrintable(context));
    QCOMPARE(out.count(u'\n') + (out.isEmpty() || out.endsWith(u'\n') ? 0 : 1),
             out.split(u'\n', Qt::SkipEmptyParts).size());
    // Lines in the archive's order, however many groups they were put on disk in.
    QList<int> order;
    for (const QRegularExpressionMatch& match : QRegularExpression(":w(\\d+)\\.enc  ").globalMatch(out))
        order << match.captured(1).toInt();
    QVERIFY(std::is_sorted(order.begin(), order.end()));
    QCOMPARE(order.size(), scenario.startsWith("many") ? 599 : 0);  // all but the damaged one
    for (int i = 0; scenario == "many" && i < 600; i += 299)  // each entry's own bytes, wherever it was inflated
        QCOMPARE(ReadFile(Path(QStringLiteral("out/w%1.xls").arg(i))), ManyPayload(i));
    if (scenario != "full")  // the small file system is gone with its namespace
        QCOMPARE(QDir(Path(outDir)).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name | QDir::IgnoreCase), restored);
}

void TestReader::passwordPromptGivesTheTerminalBack()
{
    // Ctrl+C at the prompt: the terminal has its echo back afterwards.
    Terminal terminal({BuiltProgram("quillfold-unpack"), MakeArchive()});
    QVERIFY2(terminal.WaitFor("Password:"), terminal.seen().constData());
    QVERIFY(!terminal.EchoIsOn());  // not shown while typed
    terminal.Type("\x03");
    QCOMPARE(terminal.Finish(), 128 + SIGINT);
    QVERIFY(terminal.EchoIsOn());
}

QTEST_GUILESS_MAIN(TestReader)
#include "tst_reader.moc"
