// quillfold-unpack against Info-ZIP's `unzip -t` on damaged archives: archives
// made by the real zip over packages of many sizes (around 16 KiB and 64 KiB
// too), or with compressed attributes in each entry as Windows' zip stores
// them, or named in Windows-874 as Thai Windows' zip names them, or behind a
// self-extracting program's stub, each mutated many times (one byte flipped,
// or cut short). For every
// mutant, nothing that unzip -t calls bad may be restored, and every restored
// workbook must be byte-identical to its original. Seeded, so a failure
// repeats. QUILLFOLD_MORE_MUTANTS=N adds N mutants per archive, and
// QUILLFOLD_MUTANT_SEED=K picks other mutants, for a wider search by hand.
#include "TestFiles.h"
#include "base/text.h"
#include "cli/Unpack.h"
#include "format/security.h"
#include "reader/ZipReader.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

using namespace testfiles;

class TestDifferential : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void mutantsNeverRestoreDamage_data();
    void mutantsNeverRestoreDamage();

private:
    QString Path(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
    QHash<QString, QByteArray> m_originals;  // by package name
};

void TestDifferential::initTestCase()
{
    QRandomGenerator random(20261207);
    const qint64 sizes[] = {0, 1, 100, 16327, 16384, 16385, 16441, 30000, 65479, 65536, 65593, 200000};
    for (qint64 size : sizes) {
        for (const char* kind : {"noise", "text"}) {
            QByteArray content(size, Qt::Uninitialized);
            for (qsizetype i = 0; i < content.size(); ++i)
                content[i] = kind[0] == 'n' ? char(random.bounded(256)) : "quarterly totals, "[i % 18];
            const QString name = QStringLiteral("%1%2").arg(kind).arg(size);
            WriteFile(Path(name + ".xls"), content);
            security::WritePackageFile(Path(name + ".xls"), Path(name + ".enc"), "CLERK", "SECRET");
            m_originals.insert(name + ".enc", content);
        }
    }
}

void TestDifferential::mutantsNeverRestoreDamage_data()
{
    QTest::addColumn<QStringList>("packages");
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<QString>("kind");  // made by zip; with Windows' attributes; named as on Thai Windows; behind a stub
    QTest::newRow("small") << QStringList{"noise0", "text1", "noise100", "text16327", "noise16384"} << 1u << QString();
    QTest::newRow("around 16 KiB") << QStringList{"noise16327", "text16384", "noise16385", "text16441"} << 2u << QString();
    QTest::newRow("around 64 KiB") << QStringList{"text65479", "noise65536", "text65593"} << 3u << QString();
    QTest::newRow("large") << QStringList{"noise30000", "noise200000", "text200000"} << 4u << QString();
    QTest::newRow("Windows attributes") << QStringList{"noise0", "text100", "noise16384"} << 5u << "attributes";
    QTest::newRow("names from Thai Windows") << QStringList{"noise100", "text16384", "noise30000"} << 6u << "thai";
    QTest::newRow("behind a self-extractor's stub") << QStringList{"text100", "noise16385"} << 7u << "stub";
}

void TestDifferential::mutantsNeverRestoreDamage()
{
    QFETCH(QStringList, packages);
    QFETCH(quint32, seed);
    QFETCH(QString, kind);
    const QString archive = Path(QStringLiteral("archive%1.zip").arg(seed));
    QStringList files;
    for (const QString& name : packages)
        files << Path(name + ".enc");
    if (kind == "thai") {
        // Thai names in Windows-874, unmarked, from an MS-DOS system: each
        // package under a stand-in of the same length, changed in place.
        files.clear();
        for (int i = 0; i < packages.size(); ++i) {
            const QByteArray thai = QByteArray("\xA1\xA2\xA3\xA4\xA5") + char('1' + i) + ".enc";  // กขฃคฅ1.enc ...
            files << Path(QStringLiteral("Qstan%1.enc").arg(i + 1));
            QVERIFY(QFile::copy(Path(packages[i] + ".enc"), files.last()));
            m_originals.insert(text::FromAnsi(thai), m_originals.value(packages[i] + ".enc"));
        }
    }
    if (kind != "attributes") {
        QCOMPARE(Zip(QStringList{"-q", "-j", archive} + files), 0);
        QByteArray bytes = ReadFile(archive);
        if (kind == "thai") {
            for (int i = 0; i < packages.size(); ++i)
                bytes.replace(QFileInfo(files[i]).fileName().toLatin1(), QByteArray("\xA1\xA2\xA3\xA4\xA5") + char('1' + i) + ".enc");
            for (qsizetype at = 0; (at = bytes.indexOf(zipformat::SignatureBytes(zipformat::CentralHeaderSignature), at)) >= 0; at += 4)
                bytes[at + 5] = 0;  // version made by: MS-DOS
        } else if (kind == "stub") {
            bytes.prepend("MZ" + QByteArray(2998, '\x90'));
        }
        WriteFile(archive, bytes);
    } else {
        if (!Posix)
            QSKIP("Windows' zip stores a security descriptor in every entry: the other rows have them");
        // A security descriptor block (0x4453): its size, a version byte, then
        // deflated data with its method and CRC, as unzip -t checks them.
        QProcess python;
        python.start("python3", QStringList{"-c", R"(import sys, struct, zlib, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as archive:
    for path in sys.argv[2:]:
        raw = bytes(range(256)) * 3
        packer = zlib.compressobj(9, zlib.DEFLATED, -15)
        packed = packer.compress(raw) + packer.flush()
        data = struct.pack("<IBHI", len(raw), 0, 8, zlib.crc32(raw)) + packed
        info = zipfile.ZipInfo(path.rsplit("/", 1)[-1], (2026, 12, 7, 12, 0, 0))
        info.extra = struct.pack("<HH", 0x4453, len(data)) + data
        archive.writestr(info, open(path, "rb").read(), zipfile.ZIP_DEFLATED)
)", archive} + files);
        QVERIFY(python.waitForFinished(-1));
        QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
    }
    const QByteArray pristine = ReadFile(archive);
    {  // unharmed, it restores whole (behind a stub with a warning, as unzip -t gives one)
        QString said, problems;
        QTextStream sayStream(&said), problemStream(&problems);
        QVERIFY2(unpack::Run({{archive}, QStringLiteral("secret"), Path(QStringLiteral("whole%1").arg(seed))}, sayStream, problemStream) ==
                     (kind == "stub" ? unpack::CheckFailed : unpack::AllGood),
                 qPrintable(said + problems));
        QCOMPARE(said.count("  restored as "), packages.size());
    }

    QRandomGenerator random(seed + 1000 * qEnvironmentVariableIntValue("QUILLFOLD_MUTANT_SEED"));
    int mutants = 0, restoredTotal = 0, refusedTotal = 0;
    // What unzip -t says of each entry it gets to: "testing: NAME  OK", or not
    // OK. Names it spells otherwise (those in a Windows code page) are known
    // by their place in the unharmed archive.
    const QRegularExpression verdict(QStringLiteral("(?:testing|skipping): (\\S+)\\s+(.*)$"),
                                     QRegularExpression::MultilineOption);
    QHash<QString, QString> spelt;  // unzip's spelling of a name, and this program's
    {
        QProcess unzip;
        QVERIFY(RunToEnd(unzip, InfoZip("unzip"), {"-t", archive}));
        const archive::ZipArchive zip(archive);
        int i = 0;
        for (auto it = verdict.globalMatch(QString::fromUtf8(unzip.readAllStandardOutput()).remove(u'\r')); it.hasNext(); ++i)
            spelt.insert(it.next().captured(1), zip.Entries().value(i).name);
        QCOMPARE(i, zip.Entries().size());
    }
    for (int round = 0; round < 170 + qEnvironmentVariableIntValue("QUILLFOLD_MORE_MUTANTS"); ++round) {
        QByteArray mutant = pristine;
        if (round % 17 == 16) {
            mutant.truncate(random.bounded(qint64(pristine.size())));
        } else {
            const qsizetype at = random.bounded(qint64(pristine.size()));
            mutant[at] = char(mutant[at] ^ (1 + random.bounded(255)));
        }
        const QString path = Path("mutant.zip");
        WriteFile(path, mutant);
        ++mutants;

        QProcess unzip;
        QVERIFY(RunToEnd(unzip, InfoZip("unzip"), {"-t", path}));
        QSet<QString> badToUnzip;
        for (auto it = verdict.globalMatch(QString::fromUtf8(unzip.readAllStandardOutput()).remove(u'\r')); it.hasNext();) {
            const QRegularExpressionMatch said = it.next();
            if (said.captured(2) != u"OK")
                badToUnzip.insert(spelt.value(said.captured(1), said.captured(1)));
        }

        const QString out = Path("out");
        QDir(out).removeRecursively();
        QDir().mkpath(out);
        QString said, problems;
        QTextStream sayStream(&said), problemStream(&problems);
        const int exit = unpack::Run({{path}, QStringLiteral("secret"), out}, sayStream, problemStream);

        // A failing mutant is kept for a closer look, and the message says where.
        const QString kept = QDir::tempPath() + QStringLiteral("/quillfold-mutant-%1-%2.zip").arg(seed).arg(round);
        const QString context = QStringLiteral("mutant %1 of %2, kept as %3: %4\n%5")
                                    .arg(round)
                                    .arg(archive, kept, said, problems);
        const auto keep = [&](bool good) {
            if (!good)
                QFile::copy(path, kept);
            return good;
        };
        int restored = 0;
        for (const QString& line : said.split(u'\n', Qt::SkipEmptyParts)) {
            const qsizetype at = line.indexOf(QStringLiteral("  restored as "));
            if (at < 0)
                continue;
            const QString entry = line.mid(path.size() + 1, line.indexOf(u' ') - path.size() - 1);
            QVERIFY2(keep(!badToUnzip.contains(entry)), qPrintable("restored what unzip -t calls bad: " + context));
            QVERIFY2(keep(ReadFile(line.mid(at + 14)) == m_originals.value(entry)), qPrintable("restored wrong: " + context));
            ++restored;
        }
        if (exit == unpack::AllGood)
            QVERIFY2(keep(unzip.exitCode() == 0), qPrintable("all good to us, not to unzip -t: " + context));
        restoredTotal += restored;
        refusedTotal += packages.size() - restored;
    }
    qInfo("%d mutants: %d workbooks restored intact, %d refused", mutants, restoredTotal, refusedTotal);
}

QTEST_GUILESS_MAIN(TestDifferential)
#include "tst_differential.moc"
