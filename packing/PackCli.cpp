#include "PackCli.h"

#include "Destination.h"
#include "Engine.h"
#include "RuntimeError.h"
#include "archive.h"
#include "text.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <optional>
#include <sys/stat.h>

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
    case DestinationIssue::ReadOnly: return QStringLiteral("it is protected against writing");
    case DestinationIssue::None: break;
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

    // Everything that can be known before anything is written.
    QList<engine::Workbook> workbooks;
    for (const QString& file : options.files) {
        struct stat info {};
        if (::stat(QFile::encodeName(file).constData(), &info) != 0)
            return refuse(Failed, QStringLiteral("%1: File not found").arg(text::Printable(file)));
        if (!S_ISREG(info.st_mode))
            return refuse(Failed, QStringLiteral("%1: not a regular file").arg(text::Printable(file)));
        workbooks << engine::Workbook{file, text::BaseNameOf(QFileInfo(file).fileName()) + QStringLiteral(".enc"),
                                      info.st_size};
    }
    if (const QStringList clashes = packing::ClashingEntries(options.files); !clashes.isEmpty()) {
        return refuse(BadUsage, QStringLiteral("these workbooks would get the same package name: %1")
                                    .arg(text::Printable(clashes.join(QStringLiteral("; ")))));
    }
    if (const auto source = packing::DestinationAmongSources(options.files, options.archive)) {
        return refuse(BadUsage,
                      QStringLiteral("%1: the archive would replace one of the workbooks").arg(text::Printable(*source)));
    }
    if (const DestinationIssue issue = packing::CheckDestination(options.archive); issue != DestinationIssue::None) {
        return refuse(BadUsage, QStringLiteral("%1: cannot write the archive there: %2")
                                    .arg(text::Printable(options.archive), DestinationProblem(issue)));
    }

    try {
        ArchiveAside aside(options.archive);
        Bar bar(err, options.progressBar, int(workbooks.size()));
        int entriesDone = 0;
        engine::Options settings;
        settings.userID = credentials.userID;
        settings.password = credentials.password;
        settings.progress = [&](qint64 done, qint64 total) { bar.Show(done, total, entriesDone); };
        settings.entryDone = [&](const engine::Entry& entry) {
            bar.Clear();
            const QString how =
                entry.deflated
                    ? QStringLiteral("deflated to %1 %").arg(100.0 * entry.compressed / std::max<qint64>(entry.size, 1), 0, 'f', 1)
                    : QStringLiteral("stored");
            out << text::Printable(workbooks[entriesDone].source) << "  " << text::Printable(entry.name) << "  "
                << entry.size << " bytes  " << how << '\n';
            if (options.progressBar)  // someone is watching: show each line as it comes
                out.flush();
            ++entriesDone;
        };
        const QList<engine::Entry> entries = engine::WriteArchive(aside.path(), workbooks, settings);
        bar.Clear();

        // Read back before it takes the destination's place.
        QList<archive::Expected> expected;
        for (const engine::Entry& entry : entries)
            expected << archive::Expected{entry.name.toUtf8(), entry.size, entry.crc};
        archive::VerifyArchive(aside.path(), expected);
        aside.SwapIn();
    } catch (const RuntimeError& error) {
        return refuse(Failed, text::Printable(error.summary()) + QStringLiteral("; nothing was changed"));
    }
    out << text::Printable(options.archive) << ": " << workbooks.size() << " workbooks packed and checked"
        << Qt::endl;
    return AllGood;
}

}  // namespace packcli
