#include "PackCli.h"

#include "Cli.h"
#include "base/Parallel.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "credentials/Credentials.h"
#include "engine/Engine.h"
#include "packing/Destination.h"
#include "platform/platform.h"
#include "reader/Verify.h"
#include "reader/ZipReader.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <optional>
#include <vector>

namespace packcli {
using packing::ArchiveAside;

namespace {
constexpr int BarWidth = 30;

// Whether each workbook opens as a regular file (0 or why not), and its status.
struct Opened {
    int error = 0;
    platform::FileStatus status;
    std::shared_ptr<platform::File> file;  // kept open for the packing, while open files are plenty
};

// Every workbook opened once before anything is written, on every core: for
// thousands of small workbooks the opens are a good part of the run. As many
// as the open-file limit allows (half of what it leaves beyond 512) stay
// open, to be packed from the file that was checked without opening it again.
std::vector<Opened> OpenedOnEveryCore(const QStringList& files)
{
    std::vector<Opened> opened(size_t(files.size()));
    const qsizetype kept = std::max(platform::RaiseOpenFileLimit() - 512, 0) / 2;
    std::atomic<qsizetype> next{0};
    const auto open = [&] {
        for (qsizetype i; (i = next++) < files.size();) {
            Opened& one = opened[size_t(i)];
            platform::File file = platform::OpenForReading(files[i], one.error, &one.status);
            if (i < kept && file.IsOpen())
                one.file = std::make_shared<platform::File>(std::move(file));
        }
    };
    OnEveryCore(Parallel::Threads(files.size(), 256), open);
    return opened;
}

// What quillfold-pack says of a refusal or a failure: the one place where
// they become its lines. The destination's refusals name it first.
QString Said(const RuntimeError& error, const QString& archive)
{
    using err::Reason;
    switch (error.reason()) {
    case Reason::DestinationFolderMissing:
    case Reason::DestinationFolderLocked:
    case Reason::DestinationIsFolder:
    case Reason::DestinationNotRegular:
    case Reason::DestinationReadOnly:
    case Reason::DestinationOfOther:
        return QStringLiteral("%1: cannot write the archive there: %2")
            .arg(text::Printable(archive), err::Words(error.reason(), error.particulars()));
    case Reason::None: return text::Printable(error.summary());
    default: return text::Printable(err::Words(error.reason(), error.particulars()));
    }
}

// The bar on the terminal: redrawn at most ten times a second, and cleared
// before any line is printed.
class Bar {
public:
    Bar(QTextStream& err, bool shown, int count) : m_err(err), m_shown(shown), m_count(count) { m_clock.start(); }
    ~Bar() { Clear(); }

    void Show(qint64 done, qint64 total, int entries)
    {
        if (!m_shown || (m_clock.elapsed() < 100 && done < total))
            return;
        m_clock.restart();
        const int filled = total > 0 ? int(done * BarWidth / total) : BarWidth;
        m_err << QStringLiteral("\r[%1%2] %3 %  %4/%5")
                     .arg(QString(filled, u'#'), QString(BarWidth - filled, u'-'))
                     .arg(total > 0 ? done * 100 / total : 100, 3)
                     .arg(entries)
                     .arg(m_count)
              << Qt::flush;
        m_drawn = true;
    }
    void Clear()
    {
        if (m_drawn)
            m_err << '\r' << QString(BarWidth + 24, u' ') << '\r' << Qt::flush;
        m_drawn = false;
    }

private:
    QTextStream& m_err;
    bool m_shown;
    int m_count;
    bool m_drawn = false;
    QElapsedTimer m_clock;
};
}  // namespace

int Run(const Options& options, QTextStream& out, QTextStream& err)
{
    const auto refuse = [&](int code, const QString& problem) {
        err << "quillfold-pack: " << problem << Qt::endl;
        return code;
    };
    credentials::Stored credentials;
    if (const err::Reason reason = credentials::Check(options.userID, options.password, options.password, credentials);
        reason != err::Reason::None)
        return refuse(BadUsage, err::Words(reason, credentials::Particulars(reason)));

    // Everything that can be known before anything is written: names, then
    // each workbook opened, then the destination.
    for (const QString& file : options.files) {
        if (const err::Reason reason = packing::PackageNameIssue(file); reason != err::Reason::None) {
            const QStringList limits{QString::number(packing::LongestPackageName), QString::number(packing::LongestFileName)};
            return refuse(BadUsage, text::Printable(file) + QStringLiteral(": ") + err::Words(reason, limits));
        }
    }
    const std::vector<Opened> opened = OpenedOnEveryCore(options.files);
    QList<engine::Workbook> workbooks;
    for (qsizetype i = 0; i < options.files.size(); ++i) {
        const QString& file = options.files[i];
        const auto& [error, status, kept] = opened[size_t(i)];
        if (error) {
            const QString why = error == ENOENT                     ? QStringLiteral("File not found")
                                : error == platform::NotRegularFile ? platform::ErrorText(error)
                                                                    : QStringLiteral("cannot be read: ") + platform::ErrorText(error);
            return refuse(Failed, text::Printable(file) + QStringLiteral(": ") + why);
        }
        workbooks << engine::Workbook{file, packing::PackageName(file), status.size, kept};
    }
    if (const QStringList clashes = packing::ClashingEntries(options.files); !clashes.isEmpty())
        return refuse(BadUsage, text::Printable(err::Words(err::Reason::NamesClash, {clashes.join(QStringLiteral("; "))})));
    if (const auto source = packing::DestinationAmongSources(options.files, options.archive)) {
        return refuse(BadUsage, err::Words(err::Reason::DestinationIsWorkbook, {text::Printable(*source)}));
    }
    try {
        packing::CheckDestination(options.archive);
    } catch (const RuntimeError& error) {
        return refuse(BadUsage, Said(error, options.archive));
    }
    // A typo must not turn a workbook (or anything else) into an archive.
    const QString target = platform::FinalTarget(options.archive);
    if (platform::FileStatus old; !options.replace && platform::Stat(target, old) == 0 &&
                                  old.kind == platform::FileStatus::Regular && !archive::LooksLikeZip(target)) {
        return refuse(BadUsage, text::Printable(options.archive) + QStringLiteral(": ") + err::Words(err::Reason::DestinationNotZip));
    }

    cli::Lines lines(out);
    bool swapped = false;
    try {
        OutOfMemoryAsError([&] {
            ArchiveAside aside(options.archive);
            Bar bar(err, options.progressBar, int(workbooks.size()));
            int entriesDone = 0;
            engine::Options settings;
            settings.userID = credentials.userID;
            settings.password = credentials.password;
            settings.level = options.level;
            settings.progress = [&](qint64 done, qint64 total) {
                bar.Show(done, total, entriesDone);
                lines.Tick();
            };
            settings.entryDone = [&](const engine::Entry& entry) {
                bar.Clear();
                const QString how =
                    entry.deflated ? QStringLiteral("deflated to %1 %").arg(100.0 * entry.compressed / std::max<qint64>(entry.size, 1), 0, 'f', 1)
                                   : QStringLiteral("stored");
                lines.Line(QStringLiteral("%1  %2  %3  %4")
                               .arg(text::Printable(workbooks[entriesDone].source), text::Printable(entry.name),
                                    cli::Count(entry.size, QStringLiteral("byte")), how));
                ++entriesDone;
            };
            const QList<engine::Entry> entries = engine::WriteArchive(aside.path(), workbooks, settings);
            bar.Clear();
            lines.Flush();  // the check takes a while

            // Read back, and on disk, before it takes the destination's place.
            QList<archive::Expected> expected;
            for (const engine::Entry& entry : entries)
                expected << archive::Expected{entry.name.toUtf8(), entry.size, entry.crc, entry.pieces};
            aside.StartFlush();
            archive::VerifyArchive(aside.path(), expected);
            aside.SwapIn();
            swapped = true;
            aside.FlushSwap();
        });
    } catch (const RuntimeError& error) {
        if (swapped) {
            return refuse(Failed, Said(error, options.archive) +
                                      QStringLiteral("; the new archive is in place, but the disk did not confirm "
                                                     "that it is written: check the disk"));
        }
        if (error.number() == err::OutOfMemory)
            return refuse(Failed, QStringLiteral("out of memory; nothing was changed"));
        return refuse(Failed, Said(error, options.archive) + QStringLiteral("; nothing was changed"));
    }
    try {
        lines.Line(QStringLiteral("%1: %2 packed and checked")
                       .arg(text::Printable(options.archive), cli::Count(workbooks.size(), QStringLiteral("workbook"))));
        lines.Flush();
    } catch (const RuntimeError& error) {
        return refuse(Failed, Said(error, options.archive) + QStringLiteral("; the archive was packed and checked"));
    }
    return AllGood;
}

}  // namespace packcli
