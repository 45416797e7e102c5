#include "PackRun.h"

#include "base/MessageBox.h"

#include "Destination.h"
#include "Explain.h"
#include "file.h"
#include "zip.h"
#include "base/Ending.h"
#include "base/RunFolder.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "format/security.h"
#include "reader/Utf8Names.h"
#include "reader/Verify.h"
#include "reader/ZipReader.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>

namespace packing {
using namespace msgbox;

namespace {
const QString NoFilesMessage = QStringLiteral("กรุณาเลือกไฟล์");
const QString NoDestinationMessage = QStringLiteral("กรุณาเลือกปลายทาง");
const QString ConfirmMessage = QStringLiteral("กรุณายืนยันเพื่อเริ่มทำงาน");
// The run's scratch folders in the work area.
const QString WorkPrefix = QStringLiteral("trash");

constexpr Control Buttons[] = {Control::cmdBrowseSrc, Control::cmdBrowseDest, Control::cmdRun, Control::cmdExit};

void SetLamp(PackRunWindow& window, bool on, bool hold, bool off)
{
    window.SetVisible(Control::imgOn, on);
    window.SetVisible(Control::imgHold, hold);
    window.SetVisible(Control::imgOff, off);
}

void SetButtons(PackRunWindow& window, bool enabled)
{
    for (Control button : Buttons)
        window.SetEnabled(button, enabled);
}

// One destination's new archive, and what it must hold.
struct ArchiveBuild {
    std::unique_ptr<ArchiveAside> aside;
    QList<archive::Expected> expected;
};

// Everything the run has put on disk so far, and how to take it away again.
struct RunFiles {
    runs::RunFolder workFolder;
    std::map<QString, ArchiveBuild> builds;  // by destination
    Step step = Step::WorkArea;  // where the run is, for a failure report
    QString entry;
    QString destination;

    // Removes every file of this run and the folders it made; nothing else.
    void Discard()
    {
        builds.clear();
        workFolder.Remove();
    }
};

// How far the run is, in bytes of workbooks: each workbook counts half while
// its package is written, and half while zip adds it (judged by how much the
// new archive has grown). Shown every 100 ms while the run waits.
class Progress {
public:
    Progress(PackRunWindow& window, const QList<qint64>& sizes) : m_window(window), m_sizes(sizes)
    {
        for (qint64 size : sizes)
            m_total += Units(size);
        m_timer.setInterval(100);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Show(); });
        m_timer.start();
    }

    // Set from the worker thread while a package is written.
    std::atomic<qint64> written{0};

    void StartEntry(int index)
    {
        m_index = index;
        m_size = m_sizes.value(index);
        written = 0;
        m_archive.clear();
        Show();
    }
    void StartZip(const QString& archive, qint64 packageSize)
    {
        m_archive = archive;
        m_archiveBefore = QFileInfo(archive).size();
        m_packageSize = std::max<qint64>(packageSize, 1);
        Show();
    }
    void EndEntry()
    {
        m_done += Units(m_size);
        m_size = 0;
        m_archive.clear();
        Show();
    }

private:
    static qint64 Units(qint64 size) { return std::max<qint64>(size, 0) + 1; }  // empty workbooks count too

    void Show()
    {
        const qint64 half = Units(m_size) / 2;
        qint64 current = 0;
        if (m_archive.isEmpty()) {
            current = std::min(written.load(), m_size) / 2;
        } else {
            const qint64 grown = std::clamp<qint64>(QFileInfo(m_archive).size() - m_archiveBefore, 0, m_packageSize);
            current = half + (Units(m_size) - half) * grown / m_packageSize;
        }
        m_shown = std::max(m_shown, m_done + current);  // never backwards
        m_window.SetProgress(m_shown, m_total, m_index + 1, int(m_sizes.size()));
    }

    PackRunWindow& m_window;
    const QList<qint64> m_sizes;  // of the workbooks
    QTimer m_timer;
    qint64 m_total = 0, m_done = 0, m_shown = 0, m_size = 0;
    int m_index = 0;
    QString m_archive;
    qint64 m_archiveBefore = 0, m_packageSize = 1;
};

// The packing itself, from the work folder to the archive in its place.
void PackEntries(PackRunWindow& window, const credentials::Stored& login, RunFiles& files, Progress& progress)
{
    files.step = Step::WorkArea;
    const QString workArea = file::WorkArea();
    runs::RemoveLeftovers(workArea, WorkPrefix);
    files.workFolder = runs::RunFolder(workArea, WorkPrefix);

    const int count = window.ListCount();
    for (int i = 0; i < count; ++i) {
        const QString entry = window.ListItem(i);
        const QString destination = window.Text2();  // read anew for each workbook
        files.entry = entry;
        files.destination = destination;
        files.step = Step::Package;
        window.SetLabel3(QStringLiteral("processing ") + entry);
        progress.StartEntry(i);
        const QString source = window.Text1() + u'/' + entry;
        const QString package = files.workFolder.path() + u'/' + PackageName(entry);
        security::PackageWritten written;
        ending::WaitFor([&] {
            written = security::WritePackageFile(
                source, package, login.userID, login.password,
                [&](qint64 done) {
                    progress.written = done;
                    ending::ThrowIfRequested();
                },
                security::WithCrc::Yes);
        });

        files.step = Step::Archive;
        ArchiveBuild& build = files.builds[destination];
        if (!build.aside)
            build.aside = std::make_unique<ArchiveAside>(destination);
        progress.StartZip(build.aside->path(), written.size);
        zip::RequireSuccess(zip::RunArchiver(package, build.aside->path(), QStringLiteral("zip")), package,
                            destination);
        build.expected << archive::Expected{QFileInfo(package).fileName().toUtf8(), written.size,
                                            written.crc, {}};
        // In the archive now: no need to keep a second copy. (Freeing a large
        // file takes a moment, so not on the window's thread.)
        ending::WaitFor([&] { QFile::remove(package); });
        progress.EndEntry();
    }

    files.entry.clear();
    for (auto& item : files.builds) {
        ArchiveBuild& build = item.second;
        files.destination = item.first;
        files.step = Step::Check;
        ending::WaitFor([&] {
            archive::MarkUtf8Names(build.aside->path());
            build.aside->StartFlush();
            archive::VerifyArchive(build.aside->path(), build.expected);
            files.step = Step::Swap;  // flushing a large archive takes a while: not on the window's thread
            build.aside->SwapIn();
            files.step = Step::Flush;
            build.aside->FlushSwap();
        });
    }
}

// Why the destination cannot take the new archive, found before anything is
// asked or made; empty when it can.
QString DestinationProblem(const QString& destination)
{
    try {
        CheckDestination(destination);
    } catch (const RuntimeError& error) {
        return Refusal(error.reason(), error.particulars());
    }
    return {};
}

// The workbooks whose names cannot name a package, each with the reason.
QStringList NameIssues(const QStringList& entries)
{
    QStringList issues;
    for (const QString& entry : entries) {
        if (const err::Reason reason = PackageNameIssue(entry); reason != err::Reason::None)
            issues << text::Printable(entry) + QStringLiteral(" \u2014 ") + Refusal(reason);
    }
    return issues;
}

QString WithoutTimeZone(QString format)
{
    // Drop the unquoted 't' of the time zone and the blanks around it.
    QString result;
    bool quoted = false;
    for (QChar c : format) {
        if (c == u'\'')
            quoted = !quoted;
        if (c == u't' && !quoted)
            continue;
        result += c;
    }
    return result.simplified();
}
}  // namespace

QString DateTimeText(const QDateTime& moment, const QLocale& locale)
{
    const QString date = locale.toString(moment.date(), QLocale::ShortFormat);
    const QTime time = moment.time();
    if (time.hour() == 0 && time.minute() == 0 && time.second() == 0)  // midnight, to the second
        return date;
    return date + u' ' + locale.toString(moment.time(), WithoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
}

void PackRun(PackRunWindow& window)
{
    if (window.ListCount() == 0) {
        window.MsgBox(NoFilesMessage, vbExclamation, ErrorTitle);
        return;
    }
    if (text::TrimBlanks(window.Text2()).isEmpty()) {
        window.MsgBox(NoDestinationMessage, vbExclamation, ErrorTitle);
        return;
    }
    QStringList entries;
    for (int i = 0; i < window.ListCount(); ++i)
        entries << window.ListItem(i);
    if (const QStringList issues = NameIssues(entries); !issues.isEmpty()) {
        window.MsgBox(NamesRefused() + QStringLiteral("\n\n") + issues.join(u'\n'), vbExclamation, ErrorTitle);
        return;
    }
    if (const QStringList clashes = ClashingEntries(entries); !clashes.isEmpty()) {
        window.MsgBox(Refusal(err::Reason::NamesClash, {clashes.join(u'\n')}), vbExclamation, ErrorTitle);
        return;
    }
    QStringList sources;
    for (const QString& entry : entries)
        sources << window.Text1() + u'/' + entry;
    if (const auto workbook = DestinationAmongSources(sources, window.Text2())) {
        window.MsgBox(Refusal(err::Reason::DestinationIsWorkbook, {QFileInfo(*workbook).fileName()}), vbExclamation,
                      ErrorTitle);
        return;
    }
    if (const QString problem = DestinationProblem(window.Text2()); !problem.isEmpty()) {
        window.MsgBox(problem + QStringLiteral("\n\n") + window.Text2(), vbExclamation, ErrorTitle);
        return;
    }
    if (const QString problem = TemporaryProblem(file::CheckTemporaryFolder()); !problem.isEmpty()) {
        window.MsgBox(problem, vbExclamation, ErrorTitle);
        return;
    }

    // Closing the dialog with its close box must not go on with an earlier run's credentials.
    const std::optional<credentials::Stored> login = window.ShowLogin();
    if (!login || ending::Requested())
        return;
    if (window.MsgBox(ConfirmMessage, vbQuestionOKCancel, AppTitle) != vbOK || ending::Requested())
        return;

    SetLamp(window, false, true, false);
    SetButtons(window, false);
    QList<qint64> sizes;
    for (const QString& source : sources)
        sizes << QFileInfo(source).size();
    RunFiles files;
    try {
        OutOfMemoryAsError([&] {
            Progress progress(window, sizes);
            PackEntries(window, *login, files, progress);
        });
    } catch (const ending::ProgramEnding&) {
        files.Discard();  // the program ends: nothing half-done stays, nothing is shown
        return;
    } catch (const RuntimeError& error) {
        files.Discard();
        const Failure failure{error, files.step, files.entry, files.destination};
        window.HideProgress();
        window.SetLabel3(FailureStatus(failure));
        SetLamp(window, false, false, true);
        SetButtons(window, true);
        window.MsgBox(FailureReport(failure), vbExclamation, AppTitle);
        return;
    }
    files.Discard();
    window.HideProgress();

    window.SetText1(QString());
    window.SetText2(QString());
    window.ClearList();
    window.SetLabel3(QStringLiteral("finished ") + DateTimeText(QDateTime::currentDateTime()));
    SetLamp(window, true, false, false);
    SetButtons(window, true);
    window.MsgBox(window.Label3(), vbInformation, AppTitle);
}

}  // namespace packing
