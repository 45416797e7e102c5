// The command-line programs against Info-ZIP, measured in turn in one run:
//   pack-cli-large   quillfold-pack over 100 workbooks of 2 MB (noise) against
//                    one `zip -q -j` over the same workbooks
//   pack-cli-small   the same over 1000 workbooks of 20 KB
//   pack-cli-text    the same over 100 workbooks of 2 MB of text
//   pack-cli-memory  peak memory packing one workbook of 1.9 GB, against zip's
//                    (goal: under 256 MiB)
//   unpack-large     quillfold-unpack restoring 100 workbooks of 2 MB from
//                    such an archive, against `unzip` extracting it
#include "BenchUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

namespace {
QString Program(const char* name)
{
    return QCoreApplication::applicationDirPath() + u'/' + QLatin1String(name);
}

// Workbooks of text, named as the random ones.
QStringList TextWorkbooks(const QString& folder, int count, qint64 size)
{
    QByteArray words;
    for (int i = 0; words.size() < size + 4096; ++i)
        words += "north " + QByteArray::number(i % 977) + " quarterly totals " + QByteArray::number(i * 37 % 1000) + "\n";
    const QStringList paths = bench::RandomFiles(folder, "book%1.xls", count, 0);
    for (int i = 0; i < count; ++i) {
        QFile file(paths[i]);
        file.open(QIODevice::WriteOnly);
        file.write(words.mid(i * 13 % 4096, size));
    }
    return paths;
}

QByteArray Joined(const QStringList& paths)
{
    QByteArray all;
    for (const QString& path : paths)
        all += ' ' + bench::Quoted(path);
    return all;
}

// quillfold-pack packing `workbooks` into `archive`, with the password from a file in `dir`.
QByteArray PackCommand(const QString& dir, const QString& archive, const QStringList& workbooks)
{
    return bench::Quoted(Program("quillfold-pack")) + " --user CLERK --password-file " +
           bench::Quoted(dir + "/password") + " -o " + bench::Quoted(archive) + Joined(workbooks) + " > /dev/null";
}

void PackAgainstZip(const char* name, const QString& dir, const QStringList& workbooks, int rounds)
{
    const QString archive = dir + QStringLiteral("/out.zip");
    const QByteArray ours = PackCommand(dir, archive, workbooks);
    const QByteArray peer = "zip -q -j " + bench::Quoted(archive) + Joined(workbooks);
    const auto [a, b] = bench::Alternating(
        rounds, [&] { bench::Shell(ours); }, [&] { bench::Shell(peer); }, [&] { QFile::remove(archive); });
    bench::PrintRatio(name, a, b);
}
}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qunsetenv("ZIPOPT");
    qunsetenv("ZIP");
    qunsetenv("UNZIP");
    QTemporaryDir dir;
    {
        QFile password(dir.filePath("password"));
        password.open(QIODevice::WriteOnly);
        password.write("secret\n");
    }
    const QStringList large = bench::RandomFiles(dir.filePath("large"), "book%1.xls", 100, 2'000'000);
    PackAgainstZip("pack-cli-large", dir.path(), large, 5);
    PackAgainstZip("pack-cli-small", dir.path(), bench::RandomFiles(dir.filePath("small"), "book%1.xls", 1000, 20'000), 5);
    PackAgainstZip("pack-cli-text", dir.path(), TextWorkbooks(dir.filePath("text"), 100, 2'000'000), 3);

    {
        // One workbook of 1.9 GB (sparse, so it costs no disk to make).
        const QString big = dir.filePath("big/huge.xls");
        QDir().mkpath(dir.filePath("big"));
        QFile file(big);
        file.open(QIODevice::WriteOnly);
        file.resize(qint64(1900) * 1000 * 1000);
        file.close();
        const QString archive = dir.filePath("big/out.zip");
        const long ours = bench::RunChild({"/bin/sh", "-c", PackCommand(dir.path(), archive, {big})});
        QFile::remove(archive);
        const long peer = bench::RunChild({"/usr/bin/zip", "-q", "-j", QFile::encodeName(archive), QFile::encodeName(big)});
        QFile::remove(archive);
        std::printf("pack-cli-memory: ratio=%.3f  (peak %.1f MiB packing 1.9 GB, zip %.1f MiB; goal < 256 MiB)\n",
                    double(ours) / double(peer), ours / 1024.0, peer / 1024.0);
    }
    {
        const QString archive = dir.filePath("restore.zip");
        bench::Shell(PackCommand(dir.path(), archive, large));
        const QString ourFolder = dir.filePath("restored"), peerFolder = dir.filePath("extracted");
        const auto [a, b] = bench::Alternating(
            5,
            [&] {
                bench::Shell(bench::Quoted(Program("quillfold-unpack")) + " --password secret --out " +
                             bench::Quoted(ourFolder) + " " + bench::Quoted(archive) + " > /dev/null 2>&1");
            },
            [&] { bench::Shell("unzip -q " + bench::Quoted(archive) + " -d " + bench::Quoted(peerFolder)); },
            [&] {
                QDir(ourFolder).removeRecursively();
                QDir(peerFolder).removeRecursively();
            });
        bench::PrintRatio("unpack-large", a, b);
    }
    return 0;
}
