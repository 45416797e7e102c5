#include "Restore.h"

#include "base/Ending.h"
#include "base/Files.h"
#include "base/Parallel.h"
#include "base/RunFolder.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "format/PackageReader.h"
#include "format/security.h"
#include "platform/platform.h"
#include "reader/InflatingAhead.h"
#include "reader/ZipReader.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>

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

namespace restore {
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

// A package's report, waiting until the workbook it reports is on disk for
// good (if it restores one).
struct Report {
    Package package;
    // A restored workbook, waiting for its name: that name and its path.
    std::unique_ptr<Temporary> restored;
    QString name;
    QString path;
};

// One package to be read, wherever it comes from.
struct Input {
    QString label;   // how the report names it, already shown safely
    QString source;  // the archive or package file, as given
    QString name;    // its own file name, as stored
    qint64 size;
    QIODevice* data;
    // For an archive entry: all of it was read, and it matched what the archive
    // records. A package file has nothing to check it against.
    std::function<bool()> intact;
};

// A run that is cancelled (its reporter says so) unwinds with this.
struct CancelledRun {};

class Command {
public:
    Command(const Options& options, Reporter& reporter) : m_options(options), m_reporter(reporter) {}
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
                    Unreadable(text::Printable(input), input, QString(), error);
                }
            }
            Commit();
            Finish();
        } catch (const ReportLost& lost) {
            Problem(BadInput, Concern::Other, lost.message);
        } catch (const CancelledRun&) {
            Raise(CheckFailed);  // what was not yet reported as restored goes with the run
        }
        return m_exit;
    }

private:
    // The reporter and the exit code are also reached from the thread that
    // puts a group on disk: one call at a time.
    void Problem(int code, Concern concern, const QString& message)
    {
        const std::lock_guard lock(m_reporting);
        m_reporter.Problem(code, concern, message);
        m_exit = std::max(m_exit, code);
    }
    // A problem of one package's: said, and kept in its report.
    void Problem(int code, Package& package, const QString& message)
    {
        Problem(code, Concern::Package, message);
        if (package.problem.isEmpty())
            package.problem = message;
    }
    void Raise(int code)
    {
        const std::lock_guard lock(m_reporting);
        m_exit = std::max(m_exit, code);
    }
    // The program is ending, or the reporter wants the run stopped.
    void StopIfAsked()
    {
        ending::ThrowIfRequested();
        if (m_reporter.Cancelled())
            throw CancelledRun();
    }

    // The output folder, made (one level, like unzip -d) when it is missing. A
    // folder made here is opened without following a link put in its place.
    bool OpenOutput()
    {
        QString owner;
        if (const QString link = platform::UntrustedLink(m_options.outDir, owner); !link.isEmpty()) {
            Problem(BadInput, Concern::OutputFolder, QStringLiteral("cannot use the output folder: ") +
                                  text::Printable(err::Words(err::Reason::DestinationLink, {link, owner})));
            return false;
        }
        const int made = platform::MakeFolder(m_options.outDir);
        if (made != 0 && made != EEXIST) {
            Problem(BadInput, Concern::OutputFolder, QStringLiteral("%1: the output folder cannot be made: %2").arg(text::Printable(m_options.outDir), err::WordsOfErrno(made)));
            return false;
        }
        int error = 0;
        m_outFolder = platform::Folder::Open(m_options.outDir, made == 0, error);
        if (!m_outFolder.IsOpen()) {
            const QString why = error == ENOTDIR ? QStringLiteral("not a folder") : err::WordsOfErrno(error);
            Problem(BadInput, Concern::OutputFolder, QStringLiteral("%1: cannot use the output folder: %2").arg(text::Printable(m_options.outDir), why));
            return false;
        }
        m_startedEmpty = !runs::RemoveLeftovers(m_options.outDir, UnfinishedPrefix);
        return true;
    }

    void File(const QString& path)
    {
        platform::FileStatus status;
        platform::FileDevice file(files::OpenRegularFile(path, &status), QIODevice::ReadOnly);
        One(Input{text::Printable(path), path, QFileInfo(path).fileName(), status.size, &file, {}});
    }

    void Archive(const QString& path)
    {
        archive::ZipArchive zip(path);
        if (!zip.Warning().isEmpty())
            Problem(CheckFailed, Concern::ArchiveFrame, QStringLiteral("%1: %2").arg(text::Printable(path), zip.Warning()));
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
                Report report;
                report.package.label = label;
                report.package.source = path;
                report.package.name = entry.name;
                report.package.folder = true;
                report.package.folderData = std::max(entry.size, entry.compressed);
                if (report.package.folderData > 0) {
                    Problem(CheckFailed, report.package,
                            label + QStringLiteral(": a folder entry that holds %1 bytes; not restored").arg(report.package.folderData));
                }
                Queue(std::move(report));
                continue;
            }
            {
                const std::lock_guard lock(m_reporting);
                m_reporter.Reading(i, int(entries.size()), text::Printable(entry.name), total >= LargeArchive);
            }
            // A damaged entry is that entry's problem: the others are still read.
            std::unique_ptr<archive::EntryReader> data;  // once open: its data's failure, if it fails
            try {
                data = inflating.Open(i);
                One(Input{label, path, entry.name, entry.size, data.get(), [&] { return data->intact(); }});
            } catch (const RuntimeError& error) {
                Unreadable(label, path, entry.name, error, data ? data->errorString() : QString());
            }
        }
        m_groupSize = m_groupFiles;
    }

    // An input, or an archive's entry, that cannot be read as a package: said,
    // and reported in its place. An entry whose data failed to read (what
    // `damage` says) is damaged rather than no package.
    void Unreadable(const QString& label, const QString& source, const QString& name, const RuntimeError& error,
                    const QString& damage = {})
    {
        Report report;
        report.package.label = label;
        report.package.source = source;
        report.package.name = name;
        report.package.unreadable = true;
        report.package.damaged = !damage.isEmpty();
        report.package.restoring = !m_options.outDir.isEmpty();
        Problem(BadInput, report.package, QStringLiteral("%1: %2").arg(label, text::Printable(error.summary())));
        if (report.package.damaged)
            report.package.problem = QStringLiteral("%1: %2").arg(label, text::Printable(damage));
        Queue(std::move(report));
    }

    // Reads what is left of an archive entry, so that its end is checked.
    bool ReadToEnd(const Input& input)
    {
        if (!input.intact)
            return true;
        QByteArray block(DrainBlock, Qt::Uninitialized);
        qint64 n = 0;
        while ((n = input.data->read(block.data(), block.size())) > 0)
            StopIfAsked();
        return n == 0 && input.intact();
    }

    void One(const Input& input)
    {
        const security::PackageInfo info = security::ReadHeader(*input.data, input.size);
        Report report;
        Package& package = report.package;
        package.label = input.label;
        package.source = input.source;
        package.name = input.name;
        package.userID = text::Printable(info.UserIDText());
        package.bodyLength = info.bodyLength;
        package.declaredLength = info.declaredLength;
        package.lengthMatches = info.LengthMatches();
        package.digest = info.digest;
        package.restoring = !m_options.outDir.isEmpty();
        if (m_options.password) {
            const bool matches = security::PasswordMatches(info, *m_options.password);
            package.password = matches ? Package::Password::Matches : Package::Password::Wrong;
            if (!matches)
                package.whyNot = err::Reason::PasswordWrong;
        }
        const bool good = package.lengthMatches && package.password != Package::Password::Wrong;
        if (package.restoring && m_options.password && good) {
            package.attempted = true;
            Restore(input, info, report);
            if (!report.restored)
                Raise(CheckFailed);
            Queue(std::move(report));
            return;
        }
        // Listing only, or not to be restored: the data is still read
        // through, so that a damaged entry is never reported as fine.
        if (!ReadToEnd(input)) {
            package.damaged = true;
            Problem(CheckFailed, package, QStringLiteral("%1: %2").arg(input.label, text::Printable(input.data->errorString())));
        }
        if (!good || package.damaged)
            Raise(CheckFailed);
        Queue(std::move(report));
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
                report.package.whyNot = err::ReasonOfErrno(failed);
                Problem(CheckFailed, report.package,
                        QStringLiteral("%1: not restored: %2: %3")
                            .arg(report.package.label, text::Printable(report.path), err::WordsOfErrno(failed)));
                report.restored.reset();
                continue;
            }
            renamed = true;
            report.package.restoredAs = text::Printable(report.path);
        }
        if (!renamed)
            return;
        if (const int failed = m_outFolder.Sync()) {
            Problem(CheckFailed, Concern::Durability, QStringLiteral("%1: the restored files may not survive a power cut: %2")
                                     .arg(text::Printable(m_options.outDir), err::WordsOfErrno(failed)));
        }
    }

    // Reports a group's packages, once the workbooks they report are on disk.
    void Print(const std::vector<Report>& group)
    {
        const std::lock_guard lock(m_reporting);
        for (const Report& report : group)
            m_reporter.Reported(report.package);
        m_reporter.GroupReported();
    }

    // Restores one workbook into a file in the output folder that has no
    // name of its own yet: it is given one once all of the entry was read and
    // matched and the file is on disk. Fills the report: the file waiting for
    // its name, or nothing restored and why not (said as a problem).
    void Restore(const Input& input, const security::PackageInfo& info, Report& report)
    {
        QByteArray start = input.data->peek(8);
        security::ScrambleBlock(start.data(), start.size());
        report.name = RestoredName(input.name, security::ExtensionFor(start));
        report.path = m_options.outDir + u'/' + report.name;
        Package& package = report.package;
        const auto refuse = [&](err::Reason reason, const QString& why) {
            package.whyNot = reason;
            Problem(CheckFailed, package,
                    QStringLiteral("%1: not restored: %2: %3").arg(input.label, text::Printable(report.path), why));
        };
        const auto refuseErrno = [&](int code) { refuse(err::ReasonOfErrno(code), err::WordsOfErrno(code)); };

        // A name in the way is refused before anything is written. In a folder
        // that was empty, only this run's names are (one written into it
        // meanwhile stops the naming, which never replaces a file), and
        // looking each name up would cost more than writing the workbook.
        platform::FileStatus existing;
        if (const int failed = m_startedEmpty ? 0 : m_outFolder.Status(report.name, existing))
            return refuseErrno(failed);
        // Two stored names that restore as one (a control character made "_",
        // a folder dropped) clash: the first in the archive takes the name.
        if (const auto taken = m_names.constFind(report.name); taken != m_names.cend())
            return refuse(err::Reason::Clash, err::Words(err::Reason::Clash, {*taken}));
        if (existing.kind != platform::FileStatus::Missing)
            return refuseErrno(EEXIST);
        // The free space is asked again only when what was written since the
        // last answer leaves too little by that answer.
        if (m_free >= 0 && m_free - m_writtenSince < info.bodyLength) {
            m_free = m_outFolder.FreeSpace();
            m_writtenSince = 0;
        }
        if (m_free >= 0 && m_free < info.bodyLength) {
            const QStringList sizes{QString::number(info.bodyLength), QString::number(m_free)};
            return refuse(err::Reason::NoRoom, err::Words(err::Reason::NoRoom, sizes));
        }

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
            return refuseErrno(error);
        auto temporary = std::make_unique<Temporary>(m_outFolder, temporaryName);
        platform::FileDevice out(std::move(file), QIODevice::WriteOnly);
        try {
            // Exactly the declared size is written, then the entry must end there.
            security::WritePackageBody(*input.data, info.bodyLength, out, input.label, report.path, {}, [&](qint64 done) {
                StopIfAsked();
                const std::lock_guard lock(m_reporting);
                m_reporter.Bytes(done, info.bodyLength);
            });
            if (info.bodyLength >= WritebackFrom)
                out.file().StartWriteback(0, 0);  // on its way to disk before its group is flushed
            if (temporaryName.isEmpty())
                temporary->file = std::move(out.file());  // open until it is named
            out.close();
            if (!ReadToEnd(input)) {
                package.damaged = true;
                throw RuntimeError(err::DeviceIO, input.data->errorString(), QString());
            }
        } catch (const RuntimeError& error) {
            package.whyNot = error.number() == err::DiskFull       ? err::Reason::DiskFull
                             : error.number() == err::FileTooLarge ? err::Reason::FileTooLarge
                                                                   : err::Reason::None;
            // Its data would not read (the source named): the entry is damaged.
            package.damaged = package.damaged || error.path() == input.label || error.number() == err::InputPastEnd;
            Problem(CheckFailed, package, QStringLiteral("%1: not restored: %2").arg(input.label, text::Printable(error.summary())));
            return;
        }
        m_names.insert(report.name, input.label);
        m_waitingBytes += info.bodyLength;
        m_writtenSince += info.bodyLength;
        report.restored = std::move(temporary);
    }

    const Options& m_options;
    Reporter& m_reporter;
    platform::Folder m_outFolder;
    bool m_startedEmpty = false;  // it held nothing when it was opened
    std::mutex m_reporting;  // the reporter and the exit code
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

bool PasswordMatches(const Package& package, const QString& password)
{
    security::PackageInfo info;
    info.digest = package.digest;
    return !package.unreadable && !package.folder && security::PasswordMatches(info, password);
}

int Run(const Options& options, Reporter& reporter)
{
    return Command(options, reporter).Run();
}

}  // namespace restore
