// The package file: exact bytes, and what a failure leaves behind.
#include "FailingDevice.h"
#include "TestFiles.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "credentials/clsCrypt.h"
#include "credentials/mdlMD5.h"
#include "format/security.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#ifndef Q_OS_WIN
#include <sys/resource.h>
#endif

using namespace testfiles;

namespace {
QByteArray Xor2(QByteArray bytes)
{
    for (char& c : bytes)
        c = char(c ^ 0x02);
    return bytes;
}
}  // namespace

class TestPackage : public QObject {
    Q_OBJECT
private slots:
    void init() { QVERIFY(m_dir.isValid()); }
    void cleanup();

    // format
    void goldenBytes();
    void emptySourceAndThaiUserID();
    void fieldsFillTheirWidths();
    void enciphered0x00And0x20AreWrittenAsTheyAre();
    void bodyRoundTripAcrossBlocks();
    void scrambleText();

    // faults
    void missingSourceCreatesNothing();
    void sourceThatIsNotAFile();
    void packageFolderMissing();
    void tooLongUserIDWritesNothing();
    void sourceOf2GiBIsRefused();
    void existingPackageIsReplacedWhole();
    void writeFailingPartWayLeavesNothing();
    void deviceFailuresAreReported();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QStringList entries() const { return QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); }
    QTemporaryDir m_dir;
};

void TestPackage::cleanup()
{
    QDir(m_dir.path()).removeRecursively();
    QDir().mkpath(m_dir.path());
}

void TestPackage::goldenBytes()
{
    // Worked out independently of this code, from the key and the layout.
    const QByteArray source("AB\x00\xff\x02 ok", 8);
    WriteFile(path("in.xls"), source);
    security::WritePackageFile(path("in.xls"), path("in.enc"), "USER01", "SECRET");
    QCOMPARE(ReadFile(path("in.enc")).toHex(),
             QByteArray("672020202020202020200a09750b50742020202020206b6e536e02207e0005671548325d4277353454081869157d1"
                        "874454b5c1e0b39202020434002fd00226d69"));
    QCOMPARE(ReadFile(path("in.xls")), source);  // the source is only read

    // Nothing depends on time or place: a second package is identical.
    security::WritePackageFile(path("in.xls"), path("again.enc"), "USER01", "SECRET");
    QCOMPARE(ReadFile(path("again.enc")), ReadFile(path("in.enc")));
}

void TestPackage::emptySourceAndThaiUserID()
{
    WriteFile(path("empty.xls"), QByteArray());
    security::WritePackageFile(path("empty.xls"), path("empty.enc"), text::ToAnsi(QString::fromUtf8("สมชาย")),
                               text::ToAnsi(QString::fromUtf8("ก")));
    const QByteArray package = ReadFile(path("empty.enc"));
    QCOMPARE(package.size(), 57);
    QCOMPARE(package.toHex(), QByteArray("6f202020202020202020959b9a8ba2202020202020206869086e067d2e0c0362421d605f40"
                                         "2664630d534c6a457c1a771512591e0f6b202020"));
    QCOMPARE(package.left(10), clsCrypt().EnCrypt("0") + QByteArray(9, ' '));
}

void TestPackage::fieldsFillTheirWidths()
{
    WriteFile(path("a.xls"), "x");
    security::WritePackageFile(path("a.xls"), path("twelve.enc"), "ABCDEFGHIJKL", "PWD");
    security::WritePackageFile(path("a.xls"), path("one.enc"), "A", "PWD");
    const QByteArray twelve = ReadFile(path("twelve.enc"));
    const QByteArray one = ReadFile(path("one.enc"));
    QCOMPARE(twelve.mid(10, 12), clsCrypt().EnCrypt("ABCDEFGHIJKL"));
    QCOMPARE(one.mid(10, 12), clsCrypt().EnCrypt("A") + QByteArray(11, ' '));
    for (const QByteArray& package : {twelve, one}) {
        QCOMPARE(package.size(), 58);
        QCOMPARE(package.mid(22, 32), clsCrypt().EnCrypt(mdlMD5::DigestMD5("PWD")));
        QCOMPARE(package.mid(54, 3), QByteArray("   "));
        QCOMPARE(package.mid(57), QByteArray("z"));  // 'x' ^ 2
    }
    // The writer neither trims nor changes case.
    security::WritePackageFile(path("a.xls"), path("lower.enc"), " a ", "pwd");
    const QByteArray lower = ReadFile(path("lower.enc"));
    QCOMPARE(lower.mid(10, 3), clsCrypt().EnCrypt(" a "));
    QCOMPARE(lower.mid(22, 32), clsCrypt().EnCrypt(mdlMD5::DigestMD5("pwd")));
}

void TestPackage::enciphered0x00And0x20AreWrittenAsTheyAre()
{
    // A user ID whose bytes equal the key's encipher to 0x00; key ^ 0x20 to a blank.
    const QByteArray key = clsCrypt().EnCrypt(QByteArray(12, '\0'));
    QByteArray userID = key.left(2);
    userID += char(key.at(2) ^ 0x20);
    WriteFile(path("a.xls"), "x");
    security::WritePackageFile(path("a.xls"), path("a.enc"), userID, "PWD");
    QCOMPARE(ReadFile(path("a.enc")).mid(10, 12), QByteArray("\0\0 ", 3) + QByteArray(9, ' '));
}

void TestPackage::bodyRoundTripAcrossBlocks()
{
    // Larger than one streaming block, and not a multiple of it.
    QRandomGenerator generator(7);
    const QByteArray source = RandomBytes(3 * (1 << 20) + 12345, &generator);
    WriteFile(path("big.xls"), source);
    security::WritePackageFile(path("big.xls"), path("big.enc"), "U", "PWD");
    const QByteArray package = ReadFile(path("big.enc"));
    QCOMPARE(package.size(), 57 + source.size());
    QCOMPARE(package.left(10), text::PadField(clsCrypt().EnCrypt(QByteArray::number(source.size())), 10));
    QCOMPARE(Xor2(package.mid(57)), source);
}

void TestPackage::scrambleText()
{
    QCOMPARE(security::ScrambleText(QByteArray()), QByteArray());
    QCOMPARE(security::ScrambleText(QByteArray("\x00\x02\xff", 3)), QByteArray("\x02\x00\xfd", 3));
    QCOMPARE(security::ScrambleText(QByteArray(32766, 'a')).size(), 32766);
    QCOMPARE(ErrorNumberOf([] { security::ScrambleText(QByteArray(32767, 'a')); }), err::Overflow);
}

void TestPackage::missingSourceCreatesNothing()
{
    try {
        security::WritePackageFile(path("gone.xls"), path("gone.enc"), "U", "PWD");
        QFAIL("a missing source was accepted");
    } catch (const RuntimeError& error) {
        QCOMPARE(error.number(), err::FileNotFound);
        QCOMPARE(error.path(), path("gone.xls"));
    }
    QCOMPARE(entries(), QStringList());
}

void TestPackage::sourceThatIsNotAFile()
{
    QVERIFY(QDir().mkpath(path("folder.xls")));
    QCOMPARE(ErrorNumberOf([&] { security::WritePackageFile(path("folder.xls"), path("f.enc"), "U", "PWD"); }),
             err::PathFileAccess);
    QVERIFY(!QFile::exists(path("f.enc")));
}

void TestPackage::packageFolderMissing()
{
    WriteFile(path("a.xls"), "x");
    QCOMPARE(ErrorNumberOf([&] { security::WritePackageFile(path("a.xls"), path("trash/a.enc"), "U", "PWD"); }),
             err::PathNotFound);
    QCOMPARE(entries(), QStringList{"a.xls"});
}

void TestPackage::tooLongUserIDWritesNothing()
{
    WriteFile(path("a.xls"), "x");
    QCOMPARE(ErrorNumberOf([&] { security::WritePackageFile(path("a.xls"), path("a.enc"), "ABCDEFGHIJKLM", "P"); }),
             err::InvalidCall);
    QCOMPARE(entries(), QStringList{"a.xls"});
}

void TestPackage::sourceOf2GiBIsRefused()
{
    // A sparse file: takes no disk space.
    QFile big(path("huge.xls"));
    QVERIFY(big.open(QIODevice::WriteOnly));
    QVERIFY(big.resize(security::MaxSourceSize));
    big.close();
    QCOMPARE(ErrorNumberOf([&] { security::WritePackageFile(path("huge.xls"), path("huge.enc"), "U", "P"); }),
             err::Overflow);
    QCOMPARE(entries(), QStringList{"huge.xls"});
    QVERIFY(big.resize(security::MaxSourceSize - 1));  // the largest allowed size still has a header
    QCOMPARE(security::PackageHeader(security::MaxSourceSize - 1, "U", "P").left(10),
             clsCrypt().EnCrypt("2147483647"));
}

void TestPackage::existingPackageIsReplacedWhole()
{
    WriteFile(path("a.enc"), QByteArray(5000, 'o'));  // an older, longer package
    WriteFile(path("a.xls"), "new");
    security::WritePackageFile(path("a.xls"), path("a.enc"), "U", "PWD");
    QCOMPARE(ReadFile(path("a.enc")).size(), 60);
}

void TestPackage::writeFailingPartWayLeavesNothing()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no file size limit to make a disk look full; FailingDevice covers the write failure");
#else
    // A real file that cannot grow past 64 KiB: the write fails part-way.
    WriteFile(path("old.enc"), "previous package");
    WriteFile(path("big.xls"), QByteArray(256 * 1024, 'b'));
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    int number = 0;
    int numberReplacing = 0;
    try {
        number = ErrorNumberOf([&] { security::WritePackageFile(path("big.xls"), path("big.enc"), "U", "P"); });
        numberReplacing =
            ErrorNumberOf([&] { security::WritePackageFile(path("big.xls"), path("old.enc"), "U", "P"); });
    } catch (...) {
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(number, err::FileTooLarge);  // past the account's limit, which more room on the disk would not help
    QCOMPARE(numberReplacing, err::FileTooLarge);
    QStringList expected{"big.xls", "old.enc"};
    QCOMPARE(entries(), expected);  // no package, no temporary file
    QCOMPARE(ReadFile(path("old.enc")), QByteArray("previous package"));
#endif
}

void TestPackage::deviceFailuresAreReported()
{
    const QByteArray content(300000, 'c');
    {  // the package side fills up after 100 000 bytes
        QBuffer source;
        source.setData(content);
        source.open(QIODevice::ReadOnly);
        FailingDevice package({}, 100000);
        try {
            security::WritePackageBody(source, content.size(), package, "src", "pkg");
            QFAIL("a failing write was not reported");
        } catch (const RuntimeError& error) {
            QVERIFY(error.number() == err::DeviceIO || error.number() == err::DiskFull);
            QCOMPARE(error.path(), QStringLiteral("pkg"));
        }
        QCOMPARE(package.written().size(), 100000);
    }
    {  // the source breaks after 70 000 bytes
        FailingDevice source(content, 70000);
        QBuffer package;
        package.open(QIODevice::WriteOnly);
        QCOMPARE(ErrorNumberOf([&] { security::WritePackageBody(source, content.size(), package, "src", "pkg"); }),
                 err::DeviceIO);
    }
    {  // the source is shorter than it said
        QBuffer source;
        source.setData(content.left(10));
        source.open(QIODevice::ReadOnly);
        QBuffer package;
        package.open(QIODevice::WriteOnly);
        QCOMPARE(ErrorNumberOf([&] { security::WritePackageBody(source, content.size(), package, "src", "pkg"); }),
                 err::InputPastEnd);
    }
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
