// The command-line packer's engine: the archives it writes, entry by entry the
// window's package bytes, read back by this program's reader, by Info-ZIP's
// unzip and by Python's zipfile; stored or deflated as they shrink; ZIP64.
#include "TestFiles.h"
#include "base/Ending.h"
#include "engine/Engine.h"
#include "engine/ZipWriter.h"
#include "format/security.h"
#include "format/Zip.h"
#include "platform/platform.h"
#include "reader/Verify.h"
#include "reader/ZipReader.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>

#include <zlib.h>

using namespace testfiles;

namespace {
constexpr qint64 MiB = 1 << 20;

// Workbook content: noise, text, or text that turns to noise halfway.
QByteArray Content(const QString& kind, qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    static const char Text[] = "north region, quarterly totals: 1234.56; ";
    for (qint64 i = 0; i < size; ++i) {
        const bool noise = kind == "noise" || (kind == "mixed" && i >= size / 2);
        bytes[i] = noise ? char(random.bounded(256)) : Text[(i + seed) % (sizeof Text - 1)];
    }
    return bytes;
}
}  // namespace

class TestEngine : public QObject {
    Q_OBJECT
private slots:
    void entriesAreThePackages_data();
    void entriesAreThePackages();
    void failuresLeaveNothingTaken();
    void zip64Limits_data();
    void zip64Limits();
    void writerCompletesEveryHeader();

private:
    QString Path(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestEngine::entriesAreThePackages_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QList<qint64>>("sizes");  // of the workbooks
    QTest::addColumn<bool>("deflated");
    QTest::addColumn<int>("threads");  // how many threads the system starts (-1: all asked for)
    // Packages are 57 bytes more: up to 16 MiB whole, beyond that in 1 MiB pieces.
    QTest::newRow("empty and tiny, text") << "text" << QList<qint64>{0, 1, 2, 100} << true << -1;
    QTest::newRow("noise is stored") << "noise" << QList<qint64>{20000, 3 * MiB} << false << -1;
    QTest::newRow("around 16 MiB whole") << "text" << QList<qint64>{16 * MiB - 58, 16 * MiB - 57, 16 * MiB - 56} << true << -1;
    const QList<qint64> edges{100, 17 * MiB - 57, 17 * MiB - 56, 200, 17 * MiB + 1};
    QTest::newRow("pieces: edges") << "text" << edges << true << -1;
    QTest::newRow("noise in pieces is stored") << "noise" << QList<qint64>{20 * MiB + 3} << false << -1;
    QTest::newRow("text turning to noise after 8 MiB") << "mixed" << QList<qint64>{18 * MiB} << true << -1;
    // Where the system starts fewer threads, the calling one does the rest.
    QTest::newRow("pieces, and no thread to be had") << "text" << edges << true << 0;
    QTest::newRow("pieces, and one thread to be had") << "text" << edges << true << 1;
}

void TestEngine::entriesAreThePackages()
{
    QFETCH(QString, kind);
    QFETCH(QList<qint64>, sizes);
    QFETCH(bool, deflated);
    QFETCH(int, threads);
    RecordingProbe probe;
    std::atomic<int> started{0};
    probe.fail = [&](platform::Call call, const QString&) {
        return call == platform::Call::StartThread && threads >= 0 && started++ >= threads ? EAGAIN : 0;
    };
    QList<engine::Workbook> workbooks;
    for (int i = 0; i < sizes.size(); ++i) {
        const QString name = QStringLiteral("%1-%2").arg(i).arg(i == 1 ? QString::fromUtf8("รายงาน") : "sheet");
        WriteFile(Path(name + ".xls"), Content(kind, sizes[i], quint32(i + 1)));
        workbooks << engine::Workbook{Path(name + ".xls"), name + ".enc"};
    }
    const QString archive = Path("out.zip");
    QFile::remove(archive);
    engine::Options options;
    options.userID = "CLERK";
    options.password = "SECRET";
    qint64 lastDone = -1, total = 0;
    options.progress = [&](qint64 done, qint64 all) {
        QVERIFY(done > lastDone);
        lastDone = done;
        total = all;
    };
    QStringList done;
    options.entryDone = [&](const engine::Entry& entry) { done << entry.name; };
    const QList<engine::Entry> entries = engine::WriteArchive(archive, workbooks, options);

    QCOMPARE(entries.size(), workbooks.size());
    QCOMPARE(lastDone, total);
    QList<archive::Expected> expected;
    for (int i = 0; i < entries.size(); ++i) {
        const engine::Entry& entry = entries[i];
        QCOMPARE(entry.name, workbooks[i].entryName);
        QCOMPARE(done[i], entry.name);
        // Exactly the window's package, byte for byte.
        const QString package = Path("package.enc");
        security::WritePackageFile(workbooks[i].source, package, "CLERK", "SECRET");
        const QByteArray bytes = ReadFile(package);
        QCOMPARE(entry.size, bytes.size());
        QCOMPARE(EntryContent(archive, entry.name), bytes);
        // Deflated when it shrinks, and only then.
        QCOMPARE(entry.deflated, deflated);
        if (entry.deflated)
            QVERIFY(entry.compressed < entry.size);
        else
            QCOMPARE(entry.compressed, entry.size);
        expected << archive::Expected{entry.name.toUtf8(), entry.size, entry.crc, entry.pieces};
    }
    // This program's own reader: names, sizes, CRCs, the UTF-8 flag, data intact.
    archive::VerifyArchive(archive, expected);
    // One written in pieces is read back piece by piece: a byte changed inside
    // one, or pieces that do not make up the entry, are found.
    for (int i = 0; i < entries.size(); ++i) {
        if (entries[i].pieces.size() < 2)
            continue;
        QByteArray damaged = ReadFile(archive);
        damaged[archive::ZipArchive(archive).DataStart(i) + entries[i].pieces[0].compressed + 100] ^= 0x55;
        WriteFile(Path("damaged.zip"), damaged);
        QVERIFY_THROWS_EXCEPTION(RuntimeError, archive::VerifyArchive(Path("damaged.zip"), expected));
        QList<archive::Expected> lacking = expected;
        lacking[i].pieces.removeLast();
        QVERIFY_THROWS_EXCEPTION(RuntimeError, archive::VerifyArchive(archive, lacking));
    }
    QCOMPARE(QProcess::execute(InfoZip("unzip"), {"-tqq", archive}), 0);
    if (!Posix)
        return;  // no Python to read it with on Windows
    QProcess python;
    python.start("python3", {"-c",
                             "import sys, zipfile\n"
                             "z = zipfile.ZipFile(sys.argv[1])\n"
                             "assert z.testzip() is None\n"
                             "for i in z.infolist():\n"
                             "    print(i.filename, i.flag_bits & 0x800, oct(i.external_attr >> 16))\n",
                             archive});
    QVERIFY(python.waitForFinished(-1));
    const QString listed = QString::fromUtf8(python.readAllStandardOutput());
    QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
    for (const engine::Workbook& workbook : workbooks) {
        const bool thai = workbook.entryName.contains(QString::fromUtf8("รายงาน"));
        QVERIFY2(listed.contains(workbook.entryName + (thai ? " 2048 0o100" : " 0 0o100")), qPrintable(listed));
    }
}

void TestEngine::failuresLeaveNothingTaken()
{
    // A workbook that vanished, after others went in: the error names it; the
    // caller removes the archive.
    WriteFile(Path("a.xls"), Content("text", 5000, 1));
    const QList<engine::Workbook> workbooks{{Path("a.xls"), "a.enc"}, {Path("gone.xls"), "gone.enc"}};
    engine::Options options;
    options.userID = "U";
    options.password = "PWD";
    try {
        engine::WriteArchive(Path("failed.zip"), workbooks, options);
        QFAIL("a missing workbook was not reported");
    } catch (const RuntimeError& error) {
        QCOMPARE(error.number(), err::FileNotFound);
        QCOMPARE(error.path(), Path("gone.xls"));
    }
    // An archive that cannot be made.
    QCOMPARE(ErrorNumberOf([&] { engine::WriteArchive(Path("no/such/folder/x.zip"), {workbooks[0]}, options); }),
             err::PathNotFound);
}

void TestEngine::zip64Limits_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<qint64>("size");
    // Three sparse workbooks of 1.5 GB, stored, then an empty one that starts
    // beyond 4 GiB, so the archive needs ZIP64 records. Entries just below and at the
    // count that needs them (an empty workbook packed under many names).
    QTest::newRow("offsets past 4 GiB") << 3 << qint64(1536) * MiB;
    QTest::newRow("65,535 entries") << 65535 << qint64(0);
    QTest::newRow("65,536 entries") << 65536 << qint64(0);
}

void TestEngine::zip64Limits()
{
    QFETCH(int, count);
    QFETCH(qint64, size);
    QList<engine::Workbook> workbooks;
    for (int i = 0; i < count; ++i) {
        const QString workbook = Path(size > 0 ? QStringLiteral("big%1.xls").arg(i) : QStringLiteral("empty.xls"));
        if (i == 0 || size > 0) {
            QFile sparse(workbook);
            QVERIFY(sparse.open(QIODevice::WriteOnly));
            QVERIFY(sparse.resize(size));
        }
        workbooks << engine::Workbook{workbook, QStringLiteral("big%1.enc").arg(i)};
    }
    if (size > 0) {
        WriteFile(Path("last.xls"), {});
        workbooks << engine::Workbook{Path("last.xls"), QStringLiteral("last.enc")};
    }
    engine::Options options;
    options.userID = "U";
    options.password = "PWD";
    options.level = 0;
    const QString archive = Path("large.zip");
    QFile::remove(archive);  // an earlier row's, should it have failed
    const QList<engine::Entry> entries = engine::WriteArchive(archive, workbooks, options);
    QList<archive::Expected> expected;
    for (const engine::Entry& entry : entries)
        expected << archive::Expected{entry.name.toUtf8(), entry.size, entry.crc, {}};
    archive::VerifyArchive(archive, expected);
    // The ZIP64 end record, where there is one, names this system as every
    // entry does (the one past 4 GiB too).
    const int host = platform::NewEntryMarks().madeBy >> 8;
    QFile file(archive);
    QVERIFY(file.open(QIODevice::ReadOnly) && file.seek(file.size() - 22 - 20 - 56));
    const QByteArray record = file.read(56);
    QVERIFY(!record.startsWith(zipformat::SignatureBytes(zipformat::Zip64EndSignature)) || record[13] == char(host));
    // Every reader follows it.
    QCOMPARE(QProcess::execute(InfoZip("unzip"), {"-tqq", archive}), 0);
    if (Posix) {  // and Python's zipfile, where there is Python
        QProcess python;
        python.start("python3", {"-c", "import sys, zipfile\nentries = zipfile.ZipFile(sys.argv[1]).infolist()\n"
                                       "print(len(entries), *sorted({e.create_system for e in entries}))\n", archive});
        QVERIFY(python.waitForFinished(-1));
        QCOMPARE(python.readAllStandardOutput().trimmed(), QByteArray::number(workbooks.size()) + ' ' + QByteArray::number(host));
    }
    QFile::remove(archive);
}

// Entries whose CRC and sizes are known at the start, and entries that learn
// them at the end, with the local header then still in the writer's buffer or
// already in the file.
void TestEngine::writerCompletesEveryHeader()
{
    struct Made {
        QString name;
        QByteArray data;
        bool known;
    };
    const QList<Made> made{{"known.enc", "known at the start", true},
                           {"late.enc", "told at the end", false},
                           {"empty.enc", {}, false},
                           {QString::fromUtf8("รายงาน.enc"), Content("noise", 5 * MiB, 7), false},
                           {"after.enc", "after a large one", false}};
    const QString path = Path("written.zip");
    QFile::remove(path);
    int error = 0;
    platform::File file = platform::CreateNew(path, error);
    QVERIFY(file.IsOpen());
    engine::ZipWriter zip(file, platform::NewEntryMarks());
    for (const Made& entry : made) {
        engine::ZipWriter::Header header;
        header.name = entry.name.toUtf8();
        header.flag = zipformat::NeedsUtf8Flag(header.name) ? zipformat::Utf8Flag : 0;
        header.dosTime = zipformat::DosTime(1700000000);
        const quint32 crc = quint32(crc32(0, reinterpret_cast<const Bytef*>(entry.data.constData()), uInt(entry.data.size())));
        if (entry.known) {
            header.crc = crc;
            header.compressed = header.size = quint64(entry.data.size());
        }
        QVERIFY(zip.Begin(header));
        QVERIFY(zip.Write(entry.data.constData(), entry.data.size()));
        QVERIFY(zip.End(crc, quint64(entry.data.size())));
    }
    QVERIFY(zip.Finish());
    file.Close();
    for (const Made& entry : made)
        QCOMPARE(EntryContent(path, entry.name), entry.data);
    QCOMPARE(QProcess::execute(InfoZip("unzip"), {"-tqq", path}), 0);
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
