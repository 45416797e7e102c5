#include "PackRun.h"

#include "Ending.h"
#include "RuntimeError.h"
#include "archive.h"
#include "credentials/var.h"
#include "file.h"
#include "security.h"
#include "text.h"
#include "zip.h"

#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <sys/stat.h>

namespace packing {
namespace {
const QString NoFilesMessage = QStringLiteral("กรุณาเลือกไฟล์");
const QString NoDestinationMessage = QStringLiteral("กรุณาเลือกปลายทาง");
const QString ConfirmMessage = QStringLiteral("กรุณายืนยันเพื่อเริ่มทำงาน");
const QString ClashMessage = QStringLiteral("ไฟล์ต่อไปนี้จะได้ชื่อซ้ำกันในไฟล์ปลายทาง กรุณาเลือกไฟล์ใหม่!");
const QString DestinationIsSourceMessage =
    QStringLiteral("ไฟล์ปลายทางเป็นไฟล์เดียวกับไฟล์ที่เลือกไว้ กรุณาเลือกปลายทางใหม่!");

// Scratch folders: "trash-..." in the work area, ".quillfold-..." beside the
// destination, which holds the archive while it is built.
const QString WorkPrefix = QStringLiteral("trash");
const QString BuildPrefix = QStringLiteral(".quillfold");
const QString BuildName = QStringLiteral("archive.zip");  // ends in .zip: zip adds nothing

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

// One destination's new archive, built aside in a private folder beside it and
// put in place with one rename once it has been read back.
struct ArchiveBuild {
    QString destination;  // exactly as the window gave it
    QString folder;       // the private folder beside it
    QString archive;      // what zip builds, inside that folder
    std::optional<mode_t> oldMode;  // the permissions of the archive it replaces
    QList<archive::Expected> expected;
};

// Everything the run has put on disk so far, and how to take it away again.
struct RunFiles {
    QString workFolder;
    QMap<QString, ArchiveBuild> builds;  // by destination

    // Removes every file of this run and the folders it made; nothing else.
    void Discard() const
    {
        for (const ArchiveBuild& build : builds)
            file::RemoveRunFolder(build.folder);
        file::RemoveRunFolder(workFolder);
    }
};

// Starts a destination's archive: checks what is there now, and makes the
// private folder beside it. An old archive stays untouched until the swap.
ArchiveBuild StartBuild(const QString& destination)
{
    ArchiveBuild build;
    build.destination = destination;
    struct stat old {};
    if (::stat(QFile::encodeName(destination).constData(), &old) == 0) {
        if (S_ISDIR(old.st_mode))
            throw RuntimeError(err::PathFileAccess,
                               QStringLiteral("%1: the destination is a folder").arg(err::Description(err::PathFileAccess)),
                               destination);
        // A read-only archive is refused: the operator protected it.
        if (S_ISREG(old.st_mode) && !(old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)))
            throw RuntimeError(err::PathFileAccess, destination);
        build.oldMode = old.st_mode & 07777;
    }
    const QString folder = QFileInfo(destination).path();
    file::RemoveLeftovers(folder, BuildPrefix);
    try {
        build.folder = file::MakeRunFolder(folder, BuildPrefix);
    } catch (const RuntimeError& error) {
        throw RuntimeError(error.number(), destination);
    }
    build.archive = build.folder + u'/' + BuildName;
    return build;
}

// Reads the new archive back and, only if it holds exactly what was packed,
// puts it in place of the destination in one step.
void FinishBuild(const ArchiveBuild& build)
{
    ending::WaitFor([&] {
        archive::MarkUtf8Names(build.archive);
        archive::VerifyArchive(build.archive, build.expected);
    });
    const QByteArray archive = QFile::encodeName(build.archive);
    if (build.oldMode)  // as private, or as shared, as the archive it replaces
        ::chmod(archive.constData(), *build.oldMode);
    if (std::rename(archive.constData(), QFile::encodeName(build.destination).constData()) != 0)
        throw RuntimeError(err::NumberOfErrno(errno), build.destination);
}

// The packing itself, from the work folder to the archive in its place.
void PackEntries(PackRunWindow& window, RunFiles& files)
{
    const QString workArea = file::WorkArea();
    file::RemoveLeftovers(workArea, WorkPrefix);
    files.workFolder = file::MakeRunFolder(workArea, WorkPrefix);

    const int count = window.ListCount();
    for (int i = 0; i < count; ++i) {
        const QString entry = window.ListItem(i);
        window.SetLabel3(QStringLiteral("processing ") + entry);
        const QString source = window.Text1() + u'/' + entry;
        const QString package = files.workFolder + u'/' + text::BaseNameOf(entry) + QStringLiteral(".enc");
        security::PackageWritten written;
        ending::WaitFor([&] {
            written = security::WritePackageFile(source, package, var::LoginUserID, var::LoginPassword,
                                                 [](qint64) { ending::ThrowIfRequested(); }, security::WithCrc::Yes);
        });

        const QString destination = window.Text2();
        if (!files.builds.contains(destination))
            files.builds.insert(destination, StartBuild(destination));
        ArchiveBuild& build = files.builds[destination];
        zip::RequireSuccess(zip::RunArchiver(package, build.archive, QStringLiteral("zip")), package, destination);
        build.expected << archive::Expected{QFile::encodeName(QFileInfo(package).fileName()), written.size,
                                            written.crc};
        QFile::remove(package);  // in the archive now; no need to keep a second copy
    }

    for (const ArchiveBuild& build : files.builds)
        FinishBuild(build);
}

// The workbooks the destination is one of, if any.
std::optional<QString> DestinationAmongSources(const QString& folder, const QStringList& entries,
                                               const QString& destination)
{
    const QFileInfo target(destination);
    struct stat targetInfo {};
    const bool exists = ::stat(QFile::encodeName(destination).constData(), &targetInfo) == 0;
    for (const QString& entry : entries) {
        const QString source = folder + u'/' + entry;
        struct stat sourceInfo {};
        if (exists && ::stat(QFile::encodeName(source).constData(), &sourceInfo) == 0) {
            if (sourceInfo.st_dev == targetInfo.st_dev && sourceInfo.st_ino == targetInfo.st_ino)
                return entry;
        } else if (QFileInfo(source).absoluteFilePath() == target.absoluteFilePath()) {
            return entry;
        }
    }
    return std::nullopt;
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

QStringList ClashingEntries(const QStringList& entries)
{
    QMap<QString, QStringList> byPackage;
    QStringList order;
    for (const QString& entry : entries) {
        const QString key = text::BaseNameOf(entry).toLower();
        if (!byPackage.contains(key))
            order << key;
        byPackage[key] << entry;
    }
    QStringList clashes;
    for (const QString& key : order) {
        if (byPackage[key].size() > 1)
            clashes << byPackage[key].join(QStringLiteral(", "));
    }
    return clashes;
}

QString DateTimeText(const QDateTime& moment, const QLocale& locale)
{
    const QString date = locale.toString(moment.date(), QLocale::ShortFormat);
    if (moment.time() == QTime(0, 0))
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
    if (const QStringList clashes = ClashingEntries(entries); !clashes.isEmpty()) {
        window.MsgBox(ClashMessage + QStringLiteral("\n\n") + clashes.join(u'\n'), vbExclamation, ErrorTitle);
        return;
    }
    if (const auto workbook = DestinationAmongSources(window.Text1(), entries, window.Text2())) {
        window.MsgBox(DestinationIsSourceMessage + QStringLiteral("\n\n") + *workbook, vbExclamation, ErrorTitle);
        return;
    }

    // Closing the dialog with its close box must not go on with an earlier run's credentials.
    var::LoginAccepted = false;
    window.ShowLogin();
    if (!var::LoginAccepted || ending::Requested())
        return;
    if (window.MsgBox(ConfirmMessage, vbQuestionOKCancel, AppTitle) != vbOK || ending::Requested())
        return;

    SetLamp(window, false, true, false);
    SetButtons(window, false);
    RunFiles files;
    try {
        PackEntries(window, files);
    } catch (const ending::ProgramEnding&) {
        files.Discard();  // the program ends: nothing half-done stays, nothing is shown
        return;
    } catch (const RuntimeError& error) {
        files.Discard();
        window.SetLabel3(QStringLiteral("failed: ") + error.description());
        SetLamp(window, false, false, true);
        SetButtons(window, true);
        window.MsgBox(error.report(), vbExclamation, AppTitle);
        return;
    }
    files.Discard();

    window.SetText1(QString());
    window.SetText2(QString());
    window.ClearList();
    window.SetLabel3(QStringLiteral("finished ") + DateTimeText(QDateTime::currentDateTime()));
    SetLamp(window, true, false, false);
    SetButtons(window, true);
    window.MsgBox(window.Label3(), vbInformation, AppTitle);
}

}  // namespace packing
