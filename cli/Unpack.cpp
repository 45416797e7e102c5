#include "Unpack.h"

#include "Cli.h"

#include "base/Parallel.h"
#include "base/Ending.h"
#include "format/PackageReader.h"
#include "base/RuntimeError.h"
#include "reader/InflatingAhead.h"
#include "reader/ZipReader.h"
#include "base/RunFolder.h"
#include "format/security.h"
#include "base/text.h"
#include "platform/platform.h"
#include "base/Files.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace unpack {
namespace {
constexpr qint64 LargeArchive = qint64(64) << 20;  // show progress from this size on
constexpr qint64 DrainBlock = 64 * 1024;
// Restored workbooks are put on disk for good in groups: one flush for many
// (far cheaper than one each), at least this often.
constexpr qint64 GroupBytes = qint64(256) << 20;
constexpr int GroupFiles = 2048;
constexpr int GroupMilliseconds = 1000;
// A restored workbook from this size on starts its way to disk at once; smaller
// ones go with their group's flush.
constexpr qint64 WritebackFrom = 1 << 20;
// What a restore that was killed leaves, named so that no one takes it for a workbook.
const QString UnfinishedPrefix = QStringLiteral(".quillfold-unfinished");

// What an output error means, from errno.
QString Why(int code)
{
    switch (code) {
    case EEXIST: return QStringLiteral("exists already; not overwritten");
    case EACCES:
    case EPERM: return QStringLiteral("permission denied");
    case ENAMETOOLONG: return QStringLiteral("name too long");
    case EROFS: return QStringLiteral("read-only file system");
    case EFBIG: return platform::ErrorText(code);
    default: return platform::IsDiskFull(code) ? QStringLiteral("disk full") : platform::ErrorText(code);
    }
}

// A file in the output folder waiting for its name: an unnamed one (held
// open, it vanishes when closed) or one under a temporary name, removed
// unless it was given its own.
struct Temporary {
    platform::Folder& folder;
    QString name;  // the temporary name; empty for an unnamed file, or once named
    platform::File file;
    ~Temporary()
    {
        if (!name.isEmpty())
            folder.Remove(name);
    }
    Temporary(platform::Folder& folder, QString name) : folder(folder), name(std::move(name)) {}
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    // Gives it its own name, never over a file that is there.
    int Name(const QString& to)
    {
        const int failed = name.isEmpty() ? folder.Link(file, to) : folder.MoveWithoutReplacing(name, to);
        if (failed == 0)
            name.clear();
        file.Close();
        return failed;
    }
};

// New files in the output folder (unnamed where the system has them, else
// under temporary names), made ahead on a helper thread: making a file is
// most of what restoring a small workbook costs, and needs nothing from the
// workbook. Those not taken are closed, and removed if they have a name.
class MadeAhead {
public:
    // At most `ahead` made ahead (none where descriptors are few).
    MadeAhead(platform::Folder& folder, QByteArray stem, size_t ahead)
        : m_folder(folder), m_stem(std::move(stem)), m_ahead(ahead)
    {
        if (m_ahead > 0)
            m_helper.Start([this] { Work(); });  // where it cannot start, each file is made when taken
    }
    ~MadeAhead()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_room.notify_one();
        m_helper.Join();
        for (Made& made : m_made) {
            made.file.Close();  // closed first: on Windows an open file is only marked for removal
            if (!made.name.isEmpty())
                m_folder.Remove(made.name);
        }
    }

    // A new file and its temporary name (empty if it has none). When none is
    // ready it is made here (sooner than the helper would, when it has
    // fallen behind), as it is each time once making one ahead has failed,
    // so that a failure is this moment's.
    platform::File Take(QString& name, int& error)
    {
        std::unique_lock lock(m_mutex);
        if (m_made.empty()) {
            lock.unlock();
            return Make(name, error);
        }
        Made made = std::move(m_made.front());
        m_made.pop_front();
        if (m_heldBack && m_made.size() <= m_ahead / 2) {  // the helper makes more once half are taken
            m_heldBack = false;
            m_room.notify_one();
        }
        name = made.name;
        error = 0;
        return std::move(made.file);
    }

private:
    struct Made {
        platform::File file;
        QString name;
    };
    // Called by the helper and by Take, at the same time.
    platform::File Make(QString& name, int& error)
    {
        name.clear();
        if (m_unnamed) {
            platform::File file = m_folder.CreateUnnamed(error);
            if (error != ENOTSUP)
                return file;
            m_unnamed = false;
        }
        return m_folder.CreateTemporary(m_stem, name, error);
    }
    void Work()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_made.size() >= m_ahead && !m_stopping) {
                m_heldBack = true;
                m_room.wait(lock, [&] { return m_stopping || !m_heldBack; });
            }
            if (m_stopping)
                return;
            lock.unlock();
            Made made;
            int error = 0;
            made.file = Make(made.name, error);
            if (!made.file.IsOpen())
                return;  // from now on each is made when it is taken
            lock.lock();
            m_made.push_back(std::move(made));
        }
    }

    platform::Folder& m_folder;
    const QByteArray m_stem;
    const size_t m_ahead;
    std::mutex m_mutex;
    std::condition_variable m_room;  // the helper may make more
    std::deque<Made> m_made;
    bool m_heldBack = false;
    bool m_stopping = false;
    std::atomic<bool> m_unnamed = true;  // until the system says it has no unnamed files
    Parallel m_helper;
};

// A line of the report, waiting until the workbook it reports is on disk for
// good (if it restores one).
struct Report {
    QStringList parts;
    // A restored workbook, waiting for its name: that name and its path.
    std::unique_ptr<Temporary> restored;
    QString name;
    QString path;
    QString label;
};

// Standard output takes no more: the report cannot go on.
struct OutputLost {
    QString why;
};

// One package, wherever it comes from.
struct Package {
    QString label;  // how the listing names it, already shown safely
    QString name;   // its own file name, as stored
    qint64 size;
    QIODevice* data;
    // For an archive entry: all of it was read, and it matched what the archive
    // records. A package file has nothing to check it against.
    std::function<bool()> intact;
};

class Command {
public:
    Command(const Options& options, QTextStream& out, QTextStream& err) : m_options(options), m_out(out), m_err(err)
    {
    }
    ~Command()
    {
        try {
            m_committing.Join();  // a group being put on disk is finished and reported
        } catch (...) {           // its failure was this run's; it is ending anyway
        }
        m_reports.clear();  // what is not on disk for good is removed
    }

    int Run()
    {
        if (!m_options.outDir.isEmpty() && !OpenOutput())
            return m_exit;
        m_sinceCommit.start();
        try {
            for (const QString& input : m_options.inputs) {
                try {
                    if (archive::LooksLikeZip(input))
                        Archive(input);
                    else
                        File(input);
                } catch (const RuntimeError& error) {
                    Problem(BadInput, QStringLiteral("%1: %2").arg(text::Printable(input), text::Printable(error.summary())));
                }
            }
            Commit();
            Finish();
        } catch (const OutputLost& lost) {
            Problem(BadInput, QStringLiteral("cannot write to standard output (%1); the workbooks reported so far "
                                             "are restored")
                                  .arg(lost.why));
        }
        return m_exit;
    }

private:
    // Standard error and the exit code are also written by the thread that
    // puts a group on disk.
    void Problem(int code, const QString& message)
    {
        Say(QStringLiteral("quillfold-unpack: ") + message);
        Raise(code);
    }
    void Say(const QString& line)
    {
        const std::lock_guard lock(m_reporting);
        m_err << line << Qt::endl;
    }
    void Raise(int code)
    {
        const std::lock_guard lock(m_reporting);
        m_exit = std::max(m_exit, code);
    }

    // The output folder, made (one level, like unzip -d) when it is missing. A
    // folder made here is opened without following a link put in its place.
    bool OpenOutput()
    {
        QString owner;
        if (const QString link = platform::UntrustedLink(m_options.outDir, owner); !link.isEmpty()) {
            Problem(BadInput, QStringLiteral("cannot use the output folder: ") +
                                  text::Printable(err::Words(err::Reason::DestinationLink, {link, owner})));
            return false;
        }
        const int made = platform::MakeFolder(m_options.outDir);
        if (made != 0 && made != EEXIST) {
            Problem(BadInput, QStringLiteral("%1: the output folder cannot be made: %2").arg(text::Printable(m_options.outDir), Why(made)));
            return false;
        }
        int error = 0;
        m_outFolder = platform::Folder::Open(m_options.outDir, made == 0, error);
        if (!m_outFolder.IsOpen()) {
            const QString why = error == ENOTDIR ? QStringLiteral("not a folder") : Why(error);
            Problem(BadInput, QStringLiteral("%1: cannot use the output folder: %2").arg(text::Printable(m_options.outDir), why));
            return false;
        }
        m_startedEmpty = !runs::RemoveLeftovers(m_options.outDir, UnfinishedPrefix);
        return true;
    }

    void File(const QString& path)
    {
        platform::FileStatus status;
        platform::FileDevice file(files::OpenRegularFile(path, &status), QIODevice::ReadOnly);
        One(Package{text::Printable(path), QFileInfo(path).fileName(), status.size, &file, {}});
    }

    void Archive(const QString& path)
    {
        archive::ZipArchive zip(path);
        if (!zip.Warning().isEmpty())
            Problem(CheckFailed, QStringLiteral("%1: %2").arg(text::Printable(path), zip.Warning()));
        const QList<archive::Entry>& entries = zip.Entries();
        qint64 total = 0;
        for (const archive::Entry& entry : entries)
            total += entry.size;
        QList<int> ahead;  // the entries to be opened that are inflated whole: on every core, ahead of their turn
        for (int i = 0; i < entries.size(); ++i) {
            if (!entries[i].rawName.endsWith('/') && archive::InflatesWhole(entries[i]))
                ahead << i;
        }
        archive::InflatingAhead inflating(zip, ahead);
        // Groups of one size, so that the last, put on disk once nothing else
        // is left to do, is no larger than the others.
        const qsizetype groups = (entries.size() + m_groupFiles - 1) / m_groupFiles;
        m_groupSize = groups > 1 ? int((entries.size() + groups - 1) / groups) : m_groupFiles;
        for (int i = 0; i < entries.size(); ++i) {
            const archive::Entry& entry = entries[i];
            const QString label = text::Printable(path + u':' + entry.name);
            if (entry.rawName.endsWith('/')) {  // a folder: nothing to restore, unless it holds data
                QString what = QStringLiteral("a folder, nothing to restore");
                if (const qint64 held = std::max(entry.size, entry.compressed); held > 0) {
                    what = QStringLiteral("a folder entry that holds %1 bytes; not restored").arg(held);
                    Problem(CheckFailed, label + QStringLiteral(": ") + what);
                }
                Queue(Report{{label, what}, {}, {}, {}, {}});
                continue;
            }
            if (total >= LargeArchive)
                Say(QStringLiteral("[%1/%2] %3").arg(i + 1).arg(entries.size()).arg(text::Printable(entry.name)));
            // A damaged entry is that entry's problem: the others are still read.
            try {
                const std::unique_ptr<archive::EntryReader> data = inflating.Open(i);
                One(Package{label, entry.name, entry.size, data.get(), [&] { return data->intact(); }});
            } catch (const RuntimeError& error) {
                Problem(BadInput, QStringLiteral("%1: %2").arg(label, text::Printable(error.summary())));
            }
        }
        m_groupSize = m_groupFiles;
    }

    // Reads what is left of an archive entry, so that its end is checked.
    static bool ReadToEnd(const Package& package)
    {
        if (!package.intact)
            return true;
        QByteArray block(DrainBlock, Qt::Uninitialized);
        qint64 n = 0;
        while ((n = package.data->read(block.data(), block.size())) > 0)
            ending::ThrowIfRequested();
        return n == 0 && package.intact();
    }

    void One(const Package& package)
    {
        const security::PackageInfo info = security::ReadHeader(*package.data, package.size);
        QStringList line{package.label, QStringLiteral("user %1").arg(text::Printable(info.UserIDText())),
                         cli::Count(info.bodyLength, QStringLiteral("byte"))};
        bool good = true;
        if (info.LengthMatches()) {
            line << QStringLiteral("length ok");
        } else {
            line << QStringLiteral("length MISMATCH (header says %1)").arg(info.declaredLength);
            good = false;
        }
        if (m_options.password) {
            const bool matches = security::PasswordMatches(info, *m_options.password);
            line << (matches ? QStringLiteral("password ok") : QStringLiteral("password WRONG"));
            good = good && matches;
        }
        if (!m_options.outDir.isEmpty() && m_options.password && good) {
            Report report = Restore(package, info);
            if (!report.restored) {
                line << QStringLiteral("not restored");
                Raise(CheckFailed);
            }
            report.parts = line;
            Queue(std::move(report));
            return;
        } else {
            // Listing only, or not to be restored: the data is still read
            // through, so that a damaged entry is never reported as fine.
            if (!ReadToEnd(package)) {
                line << QStringLiteral("DAMAGED");
                Problem(CheckFailed, QStringLiteral("%1: %2").arg(package.label, text::Printable(package.data->errorString())));
                good = false;
            }
            if (!m_options.outDir.isEmpty())
                line << (m_options.password ? QStringLiteral("not restored") : QStringLiteral("not restored: no password"));
        }
        if (!good)
            Raise(CheckFailed);
        Queue(Report{line, {}, {}, {}, {}});
    }

    // Adds a line to the report; the lines go out, in order, once the
    // workbooks they report are on disk for good.
    void Queue(Report&& report)
    {
        if (report.restored)
            m_waiting += 1;
        m_reports.push_back(std::move(report));
        if (m_waitingBytes >= GroupBytes || m_waiting >= m_groupSize || m_sinceCommit.elapsed() >= GroupMilliseconds)
            Commit();
    }

    // Hands the lines so far on, once the group before is on disk and
    // reported. A group that restored workbooks is put on disk on a thread of
    // its own, so that the next is restored meanwhile.
    void Commit()
    {
        Finish();
        std::vector<Report> group = std::exchange(m_reports, {});
        m_waiting = 0;
        m_waitingBytes = 0;
        m_sinceCommit.restart();
        if (std::none_of(group.begin(), group.end(), [](const Report& report) { return bool(report.restored); })) {
            Print(group);
            return;
        }
        auto commit = [this, group = std::make_shared<std::vector<Report>>(std::move(group))] {
            Put(*group);
            Print(*group);
            group->clear();  // what could not be named is removed
        };
        if (!m_committing.Start(commit))
            commit();  // no thread to be had: here, before the next group
    }

    // Waits for the group being put on disk; its failure is this thread's.
    void Finish() { m_committing.Join(); }

    // Puts a group's restored workbooks on disk for good: their data flushed,
    // then each given its name (never over a file), then the names flushed.
    void Put(std::vector<Report>& group)
    {
        QList<QString> temporaries;  // those with a name: a system without syncfs flushes them one by one
        for (const Report& report : group) {
            if (report.restored && !report.restored->name.isEmpty())
                temporaries << m_options.outDir + u'/' + report.restored->name;
        }
        const int unsynced = platform::SyncAll(m_options.outDir, temporaries);
        bool renamed = false;
        for (Report& report : group) {
            if (!report.restored)
                continue;
            const int failed = unsynced ? unsynced : report.restored->Name(report.name);
            if (failed) {
                Problem(CheckFailed, QStringLiteral("%1: not restored: %2: %3")
                                         .arg(report.label, text::Printable(report.path), Why(failed)));
                report.parts << QStringLiteral("not restored");
                report.restored.reset();
                continue;
            }
            renamed = true;
            report.parts << QStringLiteral("restored as %1").arg(text::Printable(report.path));
        }
        if (!renamed)
            return;
        if (const int failed = m_outFolder.Sync()) {
            Problem(CheckFailed, QStringLiteral("%1: the restored files may not survive a power cut: %2")
                                     .arg(text::Printable(m_options.outDir), Why(failed)));
        }
    }

    // Prints a group's lines, once the workbooks they report are on disk.
    void Print(const std::vector<Report>& group)
    {
        for (const Report& report : group)
            m_out << report.parts.join(QStringLiteral("  ")) << '\n';
        m_out.flush();
        if (m_out.status() != QTextStream::Ok)
            throw OutputLost{m_out.device() ? m_out.device()->errorString() : QString()};
    }

    // Restores one workbook into a file in the output folder that has no
    // name of its own yet: it is given one once all of the entry was read and
    // matched and the file is on disk. Returns it (with nothing restored
    // after saying why not).
    Report Restore(const Package& package, const security::PackageInfo& info)
    {
        QByteArray start = package.data->peek(8);
        security::ScrambleBlock(start.data(), start.size());
        const QString name = RestoredName(package.name, security::ExtensionFor(start));
        Report report{{}, {}, name, m_options.outDir + u'/' + name, package.label};
        const auto refuse = [&](const QString& why) {
            Problem(CheckFailed,
                    QStringLiteral("%1: not restored: %2: %3").arg(package.label, text::Printable(report.path), why));
            return std::move(report);
        };

        // A name in the way is refused before anything is written. In a folder
        // that was empty, only this run's names are (one written into it
        // meanwhile stops the naming, which never replaces a file), and
        // looking each name up would cost more than writing the workbook.
        platform::FileStatus existing;
        if (const int failed = m_startedEmpty ? 0 : m_outFolder.Status(name, existing))
            return refuse(Why(failed));
        // Two stored names that restore as one (a control character made "_",
        // a folder dropped) clash: the first in the archive takes the name.
        if (const auto taken = m_names.constFind(name); taken != m_names.cend())
            return refuse(QStringLiteral("clashes with %1, restored under this name before it").arg(*taken));
        if (existing.kind != platform::FileStatus::Missing)
            return refuse(Why(EEXIST));
        // The free space is asked again only when what was written since the
        // last answer leaves too little by that answer.
        if (m_free >= 0 && m_free - m_writtenSince < info.bodyLength) {
            m_free = m_outFolder.FreeSpace();
            m_writtenSince = 0;
        }
        if (m_free >= 0 && m_free < info.bodyLength)
            return refuse(QStringLiteral("needs %1 bytes, only %2 free").arg(info.bodyLength).arg(m_free));

        QString temporaryName;
        int error = 0;
        if (!m_madeAhead)
            m_madeAhead = std::make_unique<MadeAhead>(m_outFolder, m_stem, size_t(std::clamp(m_spareFiles / 4, 0, 64)));
        platform::File file = m_madeAhead->Take(temporaryName, error);
        if (!file.IsOpen() && error == EMFILE) {  // the files waiting for their names hold the descriptors: named first
            Commit();
            Finish();
            file = m_madeAhead->Take(temporaryName, error);
        }
        if (!file.IsOpen())
            return refuse(Why(error));
        auto temporary = std::make_unique<Temporary>(m_outFolder, temporaryName);
        platform::FileDevice out(std::move(file), QIODevice::WriteOnly);
        try {
            // Exactly the declared size is written, then the entry must end there.
            security::WritePackageBody(*package.data, info.bodyLength, out, package.label, report.path, {},
                                       [](qint64) { ending::ThrowIfRequested(); });
            if (info.bodyLength >= WritebackFrom)
                out.file().StartWriteback(0, 0);  // on its way to disk before its group is flushed
            if (temporaryName.isEmpty())
                temporary->file = std::move(out.file());  // open until it is named
            out.close();
            if (!ReadToEnd(package))
                throw RuntimeError(err::DeviceIO, package.data->errorString(), QString());
        } catch (const RuntimeError& error) {
            Problem(CheckFailed, QStringLiteral("%1: not restored: %2").arg(package.label, text::Printable(error.summary())));
            return report;
        }
        m_names.insert(report.name, package.label);
        m_waitingBytes += info.bodyLength;
        m_writtenSince += info.bodyLength;
        report.restored = std::move(temporary);
        return report;
    }

    const Options& m_options;
    QTextStream& m_out;
    QTextStream& m_err;
    platform::Folder m_outFolder;
    bool m_startedEmpty = false;  // it held nothing when it was opened
    std::mutex m_reporting;  // standard error and the exit code
    int m_exit = AllGood;
    std::vector<Report> m_reports;  // not yet out, in order
    Parallel m_committing;          // puts the group before on disk
    QHash<QString, QString> m_names;  // restored this run (and by what), so none is taken twice
    int m_waiting = 0;               // restored workbooks not yet on disk for good
    // The descriptors this process may have open beyond those it needs
    // besides the restored files (the standard streams, the archive and a
    // handle for each helper, the folders, a flush's, the interrupt pipe).
    const int m_spareFiles =
        std::max(platform::RaiseOpenFileLimit() - 16 - 2 * int(std::max(1u, std::thread::hardware_concurrency())), 2);
    // At most this many in a group: an unnamed one is held open until it is
    // named, and two groups may be open at once; a quarter of the spare
    // descriptors are for files made ahead.
    const int m_groupFiles = std::clamp(m_spareFiles * 3 / 8, 1, GroupFiles);
    int m_groupSize = m_groupFiles;  // for the archive being restored
    qint64 m_waitingBytes = 0;
    const QByteArray m_stem = runs::RunStem(UnfinishedPrefix);  // of this run's temporary names
    qint64 m_free = 0;  // free in the output folder when last asked (-1: unknown); asked at the first
    qint64 m_writtenSince = 0;  // restored since then
    QElapsedTimer m_sinceCommit;
    std::unique_ptr<MadeAhead> m_madeAhead;  // once a workbook is restored
};

}  // namespace

QString RestoredName(const QString& packageName, const QString& extension)
{
    // Only the last part of a stored name: nothing may land outside the output folder.
    QString name = packageName.mid(std::max(packageName.lastIndexOf(u'/'), packageName.lastIndexOf(u'\\')) + 1);
    if (name.endsWith(QStringLiteral(".enc"), Qt::CaseInsensitive))
        name.chop(4);
    // No control characters in a name made here: the file is named as it is shown.
    if (text::HasControl(name)) {
        QString clean;
        for (char32_t c : name.toUcs4())
            clean += text::IsControlCharacter(c) ? QStringLiteral("_") : QString::fromUcs4(&c, 1);
        name = clean;
    }
    if (name.isEmpty() || name == u"." || name == u"..")
        name = QStringLiteral("package");
    return name + extension;
}

int Run(const Options& options, QTextStream& out, QTextStream& err)
{
    return Command(options, out, err).Run();
}

}  // namespace unpack
