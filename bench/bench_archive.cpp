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
double OneCallEach(const QStringList& files, const QString& archive)
{
    QFile::remove(archive);
    return bench::Seconds([&] {
        for (const QString& file : files)
            zip::RequireSuccess(zip::RunArchiver(file, archive, "zip"), file, archive);
    });
}

double PeerShell(const QByteArray& command, const QString& archive)
{
    QFile::remove(archive);
    return bench::Seconds([&] { bench::Shell(command); });
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
        const double ours = OneCallEach(files, archive);
        const double peer = PeerShell(zip + " -q -j " + bench::Quoted(archive) + all, archive);
        bench::PrintRatio("archive-large", ours, peer);
    }
    {
        const QStringList files = bench::RandomFiles(dir.filePath("small"), "package%1.enc", 200, 20'000);
        const QByteArray loop = "for f in " + bench::Quoted(dir.filePath("small")) + "/*.enc; do ZIPOPT=-g " + zip +
                                " -q -j " + bench::Quoted(archive) + " \"$f\" </dev/null || exit 1; done";
        const double ours = OneCallEach(files, archive);
        const double peer = PeerShell(loop.constData(), archive);
        bench::PrintRatio("archive-small", ours, peer);
    }
    return 0;
}
