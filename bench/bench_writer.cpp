// writer: WritePackageFile on a 256 MiB source against `cat src > dst` (and
// against dd), and the writer's peak memory for a 256 MiB and an empty source.
#include "BenchUtil.h"
#include "format/security.h"

#include <QCoreApplication>
#include <QTemporaryDir>

int main(int argc, char* argv[])
{
    if (argc == 4 && QByteArray(argv[1]) == "--once") {  // one package, for the memory figure
        security::WritePackageFile(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), "USER",
                                   "PASSWORD");
        return 0;
    }
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString source = dir.filePath("source.xls");
    const QString empty = dir.filePath("empty.xls");
    const QString package = dir.filePath("source.enc");
    bench::WriteRandomFile(source, qint64(256) << 20, 1);
    bench::WriteRandomFile(empty, 0, 1);

    // Warm the page cache, then alternate so both see the same conditions.
    bench::Shell("cat " + bench::Quoted(source) + " > /dev/null");
    const QByteArray cat = "cat " + bench::Quoted(source) + " > " + bench::Quoted(dir.filePath("copy"));
    const bench::Comparison writer = bench::Alternating(
        7, [&] { security::WritePackageFile(source, package, "USER", "PASSWORD"); }, [&] { bench::Shell(cat); },
        [&] {  // both write a new file: nobody frees an old one while timed
            QFile::remove(package);
            QFile::remove(dir.filePath("copy"));
        });
    bench::PrintRatio("writer", writer);

    // cat copies inside the kernel (copy_file_range): one copy of each byte.
    // The writer must bring every byte through its own memory to change it, so
    // also compare it with the plainest user-space copy, dd with 256 KiB blocks.
    const QByteArray dd = "dd status=none bs=256K if=" + bench::Quoted(source) + " of=" + bench::Quoted(dir.filePath("copy"));
    const bench::Comparison againstDd = bench::Alternating(
        7, [&] { security::WritePackageFile(source, package, "USER", "PASSWORD"); }, [&] { bench::Shell(dd); },
        [&] {
            QFile::remove(package);
            QFile::remove(dir.filePath("copy"));
        });
    bench::PrintRatio("writer-vs-dd", againstDd);

    const QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
    const long big = bench::RunChild({self, "--once", source.toLocal8Bit(), package.toLocal8Bit()});
    const long none = bench::RunChild({self, "--once", empty.toLocal8Bit(), package.toLocal8Bit()});
    std::printf("writer-rss: 256 MiB source %.1f MiB, empty source %.1f MiB, difference %.1f MiB\n", big / 1024.0,
                none / 1024.0, (big - none) / 1024.0);
    return 0;
}
