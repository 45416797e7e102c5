// The window's whole pack run (packages, one zip call each, read-back, swap):
//   packrun-large          100 workbooks of 2 MB against one `zip -q -j` over them
//   packrun-small          1000 workbooks of 20 KB, the same
//   packrun-small-vs-loop  the same 1000 against a shell loop running `zip -g`
//                          once per workbook, the described procedure's floor
//   packrun-stall          the longest time the window's event loop goes
//                          unserved while one workbook of 1.5 GB is packed,
//                          against the described procedure, which writes the
//                          package on the window's own thread (goal < 100 ms)
#include "BenchUtil.h"
#include "format/security.h"
#include "packing/zip.h"
#include "tests/FakeWindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdlib>

namespace {
// The longest gap between the ticks of a 5 ms timer while `work` runs.
double LongestStall(const std::function<void()>& work)
{
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, clock.elapsed() - last);
        last = clock.elapsed();
    });
    clock.start();
    tick.start();
    work();
    longest = std::max(longest, clock.elapsed() - last);
    return double(longest) / 1000;
}
}  // namespace

// Random workbooks in `folder`; returns their names.
QStringList MakeWorkbooks(const QString& folder, int count, qint64 size)
{
    QStringList names = bench::RandomFiles(folder, "book%1.xls", count, size);
    for (QString& name : names)
        name = QFileInfo(name).fileName();
    return names;
}

// One pack run through the window's code, over `names` in `folder`.
void PackOnce(const QStringList& names, const QString& folder, const QString& archive)
{
    fakewindow::FakeWindow window;  // the tests' window: every box answered OK
    window.LogInAs("CLERK", "SECRET");
    window.list = names;
    window.text1 = folder;
    window.text2 = archive;
    packing::PackRun(window);
    if (!window.label3.startsWith(QStringLiteral("finished "))) {
        std::fprintf(stderr, "the pack run failed: %s\n", qPrintable(window.label3));
        std::exit(1);
    }
}

// The window's pack run over `names` in `folder` against one zip call over them.
void CompareWithZip(const char* name, const QString& folder, const QStringList& names, int rounds)
{
    const QString archive = folder + QStringLiteral("/../out.zip");
    QByteArray all;
    for (const QString& workbook : names)
        all += ' ' + bench::Quoted(folder + u'/' + workbook);
    const QByteArray zip = bench::Quoted(zip::ProgramFolder() + "/bin/zip");
    const bench::Comparison comparison = bench::Alternating(
        rounds,
        [&] { PackOnce(names, folder, archive); },
        [&] { bench::Shell(zip + " -q -j " + bench::Quoted(archive) + all); }, [&] { QFile::remove(archive); });
    bench::PrintRatio(name, comparison);
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qputenv("TMPDIR", QFile::encodeName(QDir::tempPath()));
    qunsetenv("ZIPOPT");
    qunsetenv("ZIP");
    QTemporaryDir dir;
    {
        const QString folder = dir.filePath("large");
        CompareWithZip("packrun-large", folder, MakeWorkbooks(folder, 100, 2'000'000), 3);
    }
    {
        const QString folder = dir.filePath("small");
        const QStringList names = MakeWorkbooks(folder, 1000, 20'000);
        CompareWithZip("packrun-small", folder, names, 3);
        const QString archive = dir.filePath("loop.zip");
        const QByteArray loop = "for f in " + bench::Quoted(folder) + "/*.xls; do ZIPOPT=-g " +
                                bench::Quoted(zip::ProgramFolder() + "/bin/zip") + " -q -j " + bench::Quoted(archive) +
                                " \"$f\" </dev/null || exit 1; done";
        const bench::Comparison comparison = bench::Alternating(
            3,
            [&] { PackOnce(names, folder, archive); },
            [&] { bench::Shell(loop); }, [&] { QFile::remove(archive); });
        bench::PrintRatio("packrun-small-vs-loop", comparison);
    }

    const QString workbook = dir.filePath("big.xls");
    {
        QFile file(workbook);  // 1.5 GB, mostly zeros, so that zip is quick about it
        file.open(QIODevice::WriteOnly);
        file.write("a workbook");
        file.resize(qint64(1536) << 20);
    }
    fakewindow::FakeWindow window;
    window.LogInAs("CLERK", "SECRET");
    window.list = QStringList{"big.xls"};
    window.text1 = dir.path();
    window.text2 = dir.filePath("out.zip");
    const double ours = LongestStall([&] { packing::PackRun(window); });
    if (!window.label3.startsWith(QStringLiteral("finished "))) {
        std::fprintf(stderr, "the pack run failed: %s\n", qPrintable(window.label3));
        return 1;
    }
    const double described = LongestStall([&] {
        security::WritePackageFile(workbook, dir.filePath("big.enc"), "CLERK", "SECRET");
    });
    std::printf("packrun-stall: ratio=%.4f  (longest stall %.0f ms while packing 1.5 GB; the described procedure, "
                "writing on the window's thread, %.0f ms; goal < 100 ms)\n",
                ours / described, ours * 1000, described * 1000);
    return 0;
}
