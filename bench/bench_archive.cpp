// archive-large: 100 packages of 2 MB added one RunArchiver call each, against
//                one `zip -q -j` over all 100.
// archive-small: 200 packages of 20 KB, one call each, against a shell loop that
//                runs the same zip (same grow option) once per file.
#include "BenchUtil.h"
#include "packing/zip.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

namespace {
// One RunArchiver call per file, against the peer's shell command, each into a new archive.
bench::Comparison OneCallEach(const QStringList& files, const QString& archive, const QByteArray& peer)
{
    return bench::Alternating(
        3,
        [&] {
            for (const QString& file : files)
                zip::RequireSuccess(zip::RunArchiver(file, archive, "zip"), file, archive);
        },
        [&] { bench::Shell(peer); }, [&] { QFile::remove(archive); });
}
}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qunsetenv("ZIPOPT");
    qunsetenv("ZIP");
    QTemporaryDir dir;
    const QByteArray zip = bench::Quoted(zip::ProgramFolder() + "/bin/zip");
    const QString archive = dir.filePath("out.zip");

    {
        const QStringList files = bench::RandomFiles(dir.filePath("large"), "package%1.enc", 100, 2'000'000);
        QByteArray all;
        for (const QString& file : files)
            all += ' ' + bench::Quoted(file);
        bench::Shell("cat" + all + " > /dev/null");
        bench::PrintRatio("archive-large", OneCallEach(files, archive, zip + " -q -j " + bench::Quoted(archive) + all));
    }
    {
        const QStringList files = bench::RandomFiles(dir.filePath("small"), "package%1.enc", 200, 20'000);
        const QByteArray loop = "for f in " + bench::Quoted(dir.filePath("small")) + "/*.enc; do ZIPOPT=-g " + zip +
                                " -q -j " + bench::Quoted(archive) + " \"$f\" </dev/null || exit 1; done";
        bench::PrintRatio("archive-small", OneCallEach(files, archive, loop));
    }
    return 0;
}
