// The command-line programs against Info-ZIP, measured in turn in one run
// (ours ÷ the peer's median time):
//   pack-cli-xls     quillfold-pack over 100 BIFF-like workbooks of 2 MB
//                    (compressible, like .xls) against one `zip -q -j` call
//   pack-cli-xlsx    the same over 100 workbooks of 2 MB of noise (already
//                    compressed, like .xlsx)
//   pack-cli-small   1,000 workbooks of 20 KB, two thirds BIFF-like
//   pack-cli-tiny    10,000 BIFF-like workbooks of 4 KB
//   pack-cli-huge    one BIFF-like workbook of 256 MB
//   pack-cli-limit   the xls batch against the machine's limit: the same
//                    bytes deflated by libdeflate (level 6) and inflated
//                    again (the read-back) on every core in memory, plus a
//                    plain copy of them; and the huge workbook
//   pack-cli-size    the xls batch's archive bytes ÷ one `zip -6` call's
//   pack-cli-memory  peak memory packing one workbook of 1.9 GB, against zip's
//                    (goal: under 256 MiB)
//   unpack-xls       quillfold-unpack restoring the xls batch, against
//                    `unzip -q -d` then `sync` (which promises as much: on
//                    disk); unpack-tiny the same for the tiny batch
// On the real workbooks (made by LibreOffice Calc; the folder in
// QUILLFOLD_REAL_WORKBOOKS, which scripts/bench makes):
//   pack-real        all of them, against one `zip -q -j -6` call
//   pack-real-size   the .xls files' archive ÷ zip -6's (the .xlsx files' too)
//   pack-real-9      -9 on the .xls files against one `zip -6` call, wall
//   pack-real-9-size its archive ÷ zip -9's
//   pack-real-limit  pack-real against the machine's limit, as pack-cli-limit
//   unpack-real      restoring all of them, against `unzip -q -d` then `sync`
// Every timed line prints the median of its rounds' wall ratios and of
// their processor-time ratios.
#include "BenchUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <libdeflate.h>

#include <atomic>
#include <thread>

namespace {
QString Program(const char* name)
{
    return QCoreApplication::applicationDirPath() + u'/' + QLatin1String(name);
}

// The paths for a shell command; thousands (all of one folder, which holds
// nothing else) as the folder's glob, since one argument of `sh -c` holds at
// most 128 KiB.
QByteArray Joined(const QStringList& paths)
{
    if (paths.size() > 1000)
        return ' ' + bench::Quoted(QFileInfo(paths.first()).path()) + "/*";
    QByteArray all;
    for (const QString& path : paths)
        all += ' ' + bench::Quoted(path);
    return all;
}

// quillfold-pack packing `workbooks` into `archive`, with the password from a
// file in `dir`, at a level ("-9") or the default.
QByteArray PackCommand(const QString& dir, const QString& archive, const QStringList& workbooks,
                       const QByteArray& level = {})
{
    return bench::Quoted(Program("quillfold-pack")) + " --user CLERK --password-file " +
           bench::Quoted(dir + "/password") + ' ' + level + " -o " + bench::Quoted(archive) + Joined(workbooks) +
           " > /dev/null";
}

// Packs `workbooks` with ours (at `level`) and with one zip call (at
// `zipLevel`) in turn; returns the comparison.
bench::Comparison PackAgainstZip(const char* name, const QString& dir, const QStringList& workbooks, int rounds,
                                 const QByteArray& level = {}, const QByteArray& zipLevel = {})
{
    const QString archive = dir + QStringLiteral("/out.zip");
    const QByteArray ours = PackCommand(dir, archive, workbooks, level);
    // The list through a file: 10,000 names are too many for one command line.
    QFile list(dir + QStringLiteral("/list"));
    if (!list.open(QIODevice::WriteOnly) || list.write(workbooks.join(u'\n').toUtf8() + '\n') < 0)
        std::exit(2);
    list.close();
    const QByteArray peer =
        "zip -q -j " + zipLevel + ' ' + bench::Quoted(archive) + " -@ < " + bench::Quoted(list.fileName());
    const bench::Comparison comparison = bench::Alternating(
        rounds, [&] { bench::Shell(ours); }, [&] { bench::Shell(peer); }, [&] { QFile::remove(archive); });
    bench::PrintRatio(name, comparison, "zip");
    return comparison;
}

// The machine's limit for packing `workbooks` as we promise to: their bytes
// deflated whole (in pieces of 1 MiB when larger than 16 MiB) by libdeflate at
// level 6 and inflated again, as the read-back does, on every core, from
// memory; plus a plain copy of the bytes into one file. The median of three.
bench::Times Limit(const QString& dir, const QStringList& workbooks)
{
    std::vector<QByteArray> pieces;
    for (const QString& path : workbooks) {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        const QByteArray all = file.readAll();
        const qsizetype step = all.size() > (16 << 20) ? (1 << 20) : all.size();
        for (qsizetype at = 0; at < all.size(); at += step)
            pieces.push_back(all.mid(at, step));
    }
    const QByteArray copy = "cat " + Joined(workbooks) + " > " + bench::Quoted(dir + "/copy");
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::vector<double> walls, cpus;
    for (int round = 0; round < 3; ++round) {
        std::atomic<size_t> next{0};
        const bench::Times deflating = bench::Timed([&] {
            std::vector<std::thread> threads;
            for (unsigned t = 0; t < cores; ++t) {
                threads.emplace_back([&] {
                    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
                    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
                    QByteArray out, back;
                    for (size_t i; (i = next++) < pieces.size();) {
                        out.resize(qsizetype(libdeflate_deflate_compress_bound(compressor, size_t(pieces[i].size()))));
                        const size_t n = libdeflate_deflate_compress(compressor, pieces[i].constData(),
                                                                     size_t(pieces[i].size()), out.data(), size_t(out.size()));
                        back.resize(pieces[i].size());
                        if (libdeflate_deflate_decompress(decompressor, out.constData(), n, back.data(),
                                                          size_t(back.size()), nullptr) != LIBDEFLATE_SUCCESS)
                            std::exit(2);
                    }
                    libdeflate_free_decompressor(decompressor);
                    libdeflate_free_compressor(compressor);
                });
            }
            for (std::thread& thread : threads)
                thread.join();
        });
        sync();
        const bench::Times copying = bench::Timed([&] { bench::Shell(copy); });
        walls.push_back(deflating.wall + copying.wall);
        cpus.push_back(deflating.cpu + copying.cpu);
        QFile::remove(dir + "/copy");
    }
    return {bench::Median(walls), bench::Median(cpus)};
}

void PrintLimit(const char* name, const bench::Comparison& ours, const bench::Times& limit, const char* more = "")
{
    std::printf("%s: ratio=%.3f cpu=%.3f  (ours %.3f s, %.3f s of processor; limit %.3f s, %.3f s%s)\n", name,
                ours.ours.wall / limit.wall, ours.ours.cpu / limit.cpu, ours.ours.wall, ours.ours.cpu, limit.wall,
                limit.cpu, more);
    std::fflush(stdout);
}

qint64 Size(const QString& path)
{
    return QFileInfo(path).size();
}

// Restores `archive` with ours and with unzip then sync in turn (we promise
// that what is restored is on disk), each time into a new folder; all are
// removed after the line, so that neither tool meets the file system's
// bookkeeping of thousands of files deleted a moment before (on ext4 without
// a journal, each new file then takes up to 0.4 ms).
void UnpackAgainstUnzip(const char* name, const QString& dir, const QString& archive)
{
    int round = 0;
    const auto folder = [&](const char* who) { return dir + QStringLiteral("/%1-%2").arg(QLatin1String(who)).arg(round); };
    const bench::Comparison comparison = bench::Alternating(
        3,
        [&] {
            bench::Shell(bench::Quoted(Program("quillfold-unpack")) + " --password-file " +
                         bench::Quoted(dir + "/password") + " --out " + bench::Quoted(folder("restored")) + " " +
                         bench::Quoted(archive) + " > /dev/null 2>&1");
        },
        [&] {
            bench::Shell("unzip -q " + bench::Quoted(archive) + " -d " + bench::Quoted(folder("extracted")) + " && sync");
        },
        [&] { ++round; });
    for (; round > 0; --round) {
        QDir(folder("restored")).removeRecursively();
        QDir(folder("extracted")).removeRecursively();
    }
    bench::PrintRatio(name, comparison, "unzip+sync");
}

// The lines on the real workbooks in `folder` (as listed in its workbooks.txt).
void RealWorkbooks(const QString& dir, const QString& folder)
{
    QFile listing(folder + QStringLiteral("/workbooks.txt"));
    if (!listing.open(QIODevice::ReadOnly)) {
        std::printf("pack-real: skipped (no real workbooks in %s; scripts/bench makes them)\n", qPrintable(folder));
        return;
    }
    QStringList all, xls, xlsx;
    for (const QByteArray& line : listing.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        all << folder + u'/' + QString::fromUtf8(line);
        (line.endsWith(".xls") ? xls : xlsx) << all.last();
    }
    bench::Shell("cat " + Joined(all) + " > /dev/null");  // in the page cache, for both
    const bench::Comparison real = PackAgainstZip("pack-real", dir, all, 3, {}, "-6");
    const auto sizes = [&](const QStringList& files, const QByteArray& level) {
        const QString ours = dir + QStringLiteral("/real-ours.zip"), peer = dir + QStringLiteral("/real-zip.zip");
        QFile::remove(ours);
        QFile::remove(peer);
        bench::Shell(PackCommand(dir, ours, files, level));
        bench::Shell("zip -q -j " + level + ' ' + bench::Quoted(peer) + Joined(files));
        return std::pair{Size(ours), Size(peer)};
    };
    const auto [xlsOurs, xlsZip] = sizes(xls, "-6");
    const auto [xlsxOurs, xlsxZip] = sizes(xlsx, "-6");
    std::printf("pack-real-size: ratio=%.4f  (.xls files %lld bytes, zip -6 %lld; .xlsx files ratio %.4f: %lld, %lld)\n",
                double(xlsOurs) / double(xlsZip), xlsOurs, xlsZip, double(xlsxOurs) / double(xlsxZip), xlsxOurs, xlsxZip);
    std::fflush(stdout);
    PackAgainstZip("pack-real-9", dir, xls, 3, "-9", "-6");
    const auto [bestOurs, bestZip] = sizes(xls, "-9");
    std::printf("pack-real-9-size: ratio=%.4f  (.xls files at -9 %lld bytes, zip -9 %lld)\n",
                double(bestOurs) / double(bestZip), bestOurs, bestZip);
    PrintLimit("pack-real-limit", real, Limit(dir, all));
    const QString archive = dir + QStringLiteral("/real.zip");
    bench::Shell(PackCommand(dir, archive, all));
    UnpackAgainstUnzip("unpack-real", dir, archive);
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
    {
        // First, while this process is small: a child started from it counts
        // its parent's memory until it runs its own program.
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
    const QString folder = dir.path();
    RealWorkbooks(folder, qEnvironmentVariable("QUILLFOLD_REAL_WORKBOOKS"));
    const QStringList xls = bench::Workbooks(dir.filePath("xls"), "book%1.xls", 100, 2'000'000);
    const bench::Comparison xlsTime = PackAgainstZip("pack-cli-xls", folder, xls, 3);
    PackAgainstZip("pack-cli-xlsx", folder, bench::RandomFiles(dir.filePath("xlsx"), "book%1.xlsx", 100, 2'000'000), 3);
    PackAgainstZip("pack-cli-small", folder, bench::Workbooks(dir.filePath("small"), "book%1.xls", 1000, 20'000, 3), 3);
    const QStringList tiny = bench::Workbooks(dir.filePath("tiny"), "book%1.xls", 10000, 4'000);
    PackAgainstZip("pack-cli-tiny", folder, tiny, 3);
    const QStringList huge = bench::Workbooks(dir.filePath("huge"), "huge%1.xls", 1, 256'000'000);
    const bench::Comparison hugeTime = PackAgainstZip("pack-cli-huge", folder, huge, 3);
    PrintLimit("pack-cli-limit", xlsTime, Limit(folder, xls), ", the xls batch");
    PrintLimit("pack-cli-limit-huge", hugeTime, Limit(folder, huge), ", the huge workbook");
    {
        const QString ours = dir.filePath("size-ours.zip"), peer = dir.filePath("size-zip.zip");
        bench::Shell(PackCommand(folder, ours, xls));
        bench::Shell("zip -q -6 -j " + bench::Quoted(peer) + Joined(xls));
        std::printf("pack-cli-size: ratio=%.4f  (ours %lld bytes, zip -6 %lld bytes)\n",
                    double(QFileInfo(ours).size()) / double(QFileInfo(peer).size()), QFileInfo(ours).size(),
                    QFileInfo(peer).size());
        std::fflush(stdout);
        UnpackAgainstUnzip("unpack-xls", folder, ours);
        const QString tinyArchive = dir.filePath("tiny.zip");
        bench::Shell(PackCommand(folder, tinyArchive, tiny));
        UnpackAgainstUnzip("unpack-tiny", folder, tinyArchive);
    }

    return 0;
}
