#include "PackCli.h"

#include "base/Parallel.h"
#include "packing/Destination.h"
#include "engine/Engine.h"
#include "base/RuntimeError.h"
#include "reader/ZipReader.h"
#include "base/text.h"
#include "Cli.h"
#include "platform/platform.h"
#include "reader/Verify.h"

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
using packing::DestinationIssue;

namespace {
constexpr int BarWidth = 30;

// The credentials as the dialog would store them, or why they cannot be.
struct Credentials {
    QByteArray userID, password;
    QString problem;
};

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

Credentials Check(const QString& userID, const QString& password)
{
    Credentials checked;
    if (userID.trimmed().isEmpty())
        checked.problem = QStringLiteral("the user ID is empty");
    else if (password.trimmed().isEmpty())
        checked.problem = QStringLiteral("the password is empty");
    else if (text::TrimBlanks(password).size() < text::MinimumPasswordLength)
        checked.problem = QStringLiteral("the password must have at least %1 characters").arg(text::MinimumPasswordLength);
    const QString user = text::UpperAscii(text::TrimBlanks(userID));
    const QString secret = text::UpperAscii(text::TrimBlanks(password));
    for (const auto& [value, what] : {std::pair{user, QStringLiteral("user ID")},
                                      std::pair{secret, QStringLiteral("password")}}) {
        if (checked.problem.isEmpty() && !text::IsStorableCredential(value)) {
            checked.problem = QStringLiteral("the %1 must have at most %2 characters, all of the Thai code page "
                                             "(Windows-874), and no control characters")
                                  .arg(what)
                                  .arg(text::CredentialLength);
        }
    }
    if (checked.problem.isEmpty()) {
        checked.userID = text::ToAnsi(user);
        checked.password = text::ToAnsi(secret);
    }
    return checked;
}

QString DestinationProblem(DestinationIssue issue)
{
    switch (issue) {
    case DestinationIssue::FolderMissing: return QStringLiteral("its folder does not exist");
    case DestinationIssue::FolderLocked: return QStringLiteral("its folder cannot be written");
    case DestinationIssue::IsFolder: return QStringLiteral("it is a folder");
    case DestinationIssue::NotRegularFile: return QStringLiteral("it is not a regular file");
    case DestinationIssue::ReadOnly: return QStringLiteral("it is protected against writing");
    case DestinationIssue::OwnedByOther:
        return QStringLiteral("it belongs to another user, and its folder lets only the owner replace it");
    case DestinationIssue::UntrustedLink:
    case DestinationIssue::None: break;
    }
    return {};
}

QString NameProblem(packing::NameIssue issue)
{
    switch (issue) {
    case packing::NameIssue::StartsWithDot:
        return QStringLiteral("the name starts with a dot, so its package would have no name (a package is "
                              "named after its workbook up to the first dot); rename it");
    case packing::NameIssue::ControlCharacter:
        return QStringLiteral("the name holds a control character (a tab, a line end ...), which a recipient gets back "
                              "as \"_\"; rename it");
    case packing::NameIssue::Backslash:
        return QStringLiteral("the name holds a backslash, and a recipient gets back only what follows it; rename it");
    case packing::NameIssue::WindowsCharacter:
        return QStringLiteral("the name holds a character that Windows cannot hold in a name (< > : \" | ? *), and "
                              "recipients may be on Windows; rename it");
    case packing::NameIssue::WindowsDevice:
        return QStringLiteral("up to its first dot the name is a device on Windows (CON, NUL, COM1 ...), so a recipient "
                              "on Windows cannot make its file; rename it");
    case packing::NameIssue::EndsInDotOrSpace:
        return QStringLiteral("the name ends in a dot or a space, which Windows cannot hold; rename it");
    case packing::NameIssue::TooLong:
        return QStringLiteral("the package name would be longer than %1 bytes, too long for a recipient to restore it "
                              "as .xlsx (a name takes at most %2 bytes); rename it")
            .arg(packing::LongestPackageName)
            .arg(packing::LongestFileName);
    case packing::NameIssue::None: break;
    }
    return {};
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
    const Credentials credentials = Check(options.userID, options.password);
    if (!credentials.problem.isEmpty())
        return refuse(BadUsage, credentials.problem);

    // Everything that can be known before anything is written: names, then
    // each workbook opened, then the destination.
    for (const QString& file : options.files) {
        if (const packing::NameIssue issue = packing::PackageNameIssue(file); issue != packing::NameIssue::None)
            return refuse(BadUsage, text::Printable(file) + QStringLiteral(": ") + NameProblem(issue));
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
    if (const QStringList clashes = packing::ClashingEntries(options.files); !clashes.isEmpty()) {
        return refuse(BadUsage, QStringLiteral("these workbooks would get the same package name: %1 (a package is "
                                               "named by its workbook's name up to the first dot, then .enc, case "
                                               "aside): rename one of them before that dot")
                                    .arg(text::Printable(clashes.join(QStringLiteral("; ")))));
    }
    if (const auto source = packing::DestinationAmongSources(options.files, options.archive)) {
        return refuse(BadUsage,
                      QStringLiteral("%1: the archive would replace one of the workbooks").arg(text::Printable(*source)));
    }
    if (const packing::DestinationCheck check = packing::CheckDestination(options.archive);
        check.issue == DestinationIssue::UntrustedLink) {
        return refuse(BadUsage, text::Printable(packing::UntrustedLinkText(check.link, check.owner)));
    } else if (check.issue != DestinationIssue::None) {
        return refuse(BadUsage, QStringLiteral("%1: cannot write the archive there: %2")
                                    .arg(text::Printable(options.archive), DestinationProblem(check.issue)));
    }
    // A typo must not turn a workbook (or anything else) into an archive.
    const QString target = platform::FinalTarget(options.archive);
    if (platform::FileStatus old; !options.replace && platform::Stat(target, old) == 0 &&
                                  old.kind == platform::FileStatus::Regular && !archive::LooksLikeZip(target)) {
        return refuse(BadUsage, QStringLiteral("%1: it is not a ZIP archive (give --replace to replace it)")
                                    .arg(text::Printable(options.archive)));
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
            return refuse(Failed, text::Printable(error.summary()) +
                                      QStringLiteral("; the new archive is in place, but the disk did not confirm "
                                                     "that it is written: check the disk"));
        }
        if (error.number() == err::OutOfMemory)
            return refuse(Failed, QStringLiteral("out of memory; nothing was changed"));
        return refuse(Failed, text::Printable(error.summary()) + QStringLiteral("; nothing was changed"));
    }
    try {
        lines.Line(QStringLiteral("%1: %2 packed and checked")
                       .arg(text::Printable(options.archive), cli::Count(workbooks.size(), QStringLiteral("workbook"))));
        lines.Flush();
    } catch (const RuntimeError& error) {
        return refuse(Failed, text::Printable(error.summary()) + QStringLiteral("; the archive was packed and checked"));
    }
    return AllGood;
}

}  // namespace packcli
