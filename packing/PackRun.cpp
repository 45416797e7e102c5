#include "PackRun.h"

#include "RuntimeError.h"
#include "archive.h"
#include "credentials/var.h"
#include "file.h"
#include "security.h"
#include "text.h"
#include "zip.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMap>

namespace packing {
namespace {
const QString NoFilesMessage = QStringLiteral("กรุณาเลือกไฟล์");
const QString NoDestinationMessage = QStringLiteral("กรุณาเลือกปลายทาง");
const QString ConfirmMessage = QStringLiteral("กรุณายืนยันเพื่อเริ่มทำงาน");
const QString ClashMessage = QStringLiteral("ไฟล์ต่อไปนี้จะได้ชื่อซ้ำกันในไฟล์ปลายทาง กรุณาเลือกไฟล์ใหม่!");
const QString BusyMessage =
    QStringLiteral("มีโปรแกรมอีกชุดหนึ่งกำลังแพ็กไฟล์อยู่ กรุณารอให้เสร็จก่อนแล้วลองใหม่อีกครั้ง!");

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

// Deletes an old archive so that this run builds it anew. A read-only file is
// refused, as the operator protected it; one that cannot be removed is error 70.
void DeleteOldArchive(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return;
    if (!(info.permissions() & (QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther)))
        throw RuntimeError(err::PathFileAccess, path);
    if (!QFile::remove(path))
        throw RuntimeError(err::PermissionDenied, path);
}

// Everything the run has put on disk so far, and how to take it away again.
struct RunFiles {
    QString workFolder;
    QStringList packages;
    // Every archive zip was started on, with what it must hold.
    QMap<QString, QList<archive::Expected>> archives;

    void RemovePackages() const
    {
        for (const QString& package : packages)
            QFile::remove(package);
        if (!workFolder.isEmpty())
            file::DeleteFolderPath(workFolder);
    }
};

// The packing itself, from the deletion of the old archive to the last zip.
void PackEntries(PackRunWindow& window, RunFiles& files)
{
    DeleteOldArchive(window.Text2());

    const QString temporaryFolder = QDir::tempPath();
    files.workFolder = temporaryFolder + QStringLiteral("/trash");
    file::CreateFolderPath(files.workFolder);  // if it fails, the first package says why

    const int count = window.ListCount();
    for (int i = 0; i < count; ++i) {
        const QString entry = window.ListItem(i);
        window.SetLabel3(QStringLiteral("processing ") + entry);
        const QString source = window.Text1() + u'/' + entry;
        const QString package = temporaryFolder + QStringLiteral("/trash/") + text::BaseNameOf(entry) +
                                QStringLiteral(".enc");
        files.packages << package;
        security::WritePackageFile(source, package, var::LoginUserID, var::LoginPassword);

        const QString archive = window.Text2();
        QList<archive::Expected>& expected = files.archives[archive];
        zip::RequireSuccess(zip::RunArchiver(package, archive, QStringLiteral("zip")), package, archive);
        const QFileInfo written(package);
        expected << archive::Expected{QFile::encodeName(written.fileName()), written.size(), archive::FileCrc(package)};
    }

    // Read the archive back before calling it finished: exactly this run's
    // packages, each as it was written.
    for (auto it = files.archives.cbegin(); it != files.archives.cend(); ++it)
        archive::VerifyArchive(it.key(), it.value());
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

    // Closing the dialog with its close box must not go on with an earlier run's credentials.
    var::LoginAccepted = false;
    window.ShowLogin();
    if (!var::LoginAccepted)
        return;
    if (window.MsgBox(ConfirmMessage, vbQuestionOKCancel, AppTitle) != vbOK)
        return;

    // The work folder's name is fixed: only one copy of the program may pack at a time.
    QLockFile lock(QDir::tempPath() + QStringLiteral("/trash.lock"));
    lock.setStaleLockTime(0);  // stale only when its owner is gone
    // Held by another copy: say so. (A temporary folder that cannot be written
    // at all is reported by the run itself, naming the file.)
    if (!lock.tryLock(0) && lock.error() == QLockFile::LockFailedError) {
        window.MsgBox(BusyMessage, vbExclamation, ErrorTitle);
        return;
    }

    SetLamp(window, false, true, false);
    SetButtons(window, false);
    RunFiles files;
    try {
        PackEntries(window, files);
    } catch (const RuntimeError& error) {
        files.RemovePackages();
        for (const QString& archive : files.archives.keys())
            QFile::remove(archive);
        lock.unlock();
        window.SetLabel3(QStringLiteral("failed: ") + error.description());
        SetLamp(window, false, false, true);
        SetButtons(window, true);
        window.MsgBox(error.report(), vbExclamation, AppTitle);
        return;
    }
    files.RemovePackages();
    lock.unlock();

    window.SetText1(QString());
    window.SetText2(QString());
    window.ClearList();
    window.SetLabel3(QStringLiteral("finished ") + DateTimeText(QDateTime::currentDateTime()));
    SetLamp(window, true, false, false);
    SetButtons(window, true);
    window.MsgBox(window.Label3(), vbInformation, AppTitle);
}

}  // namespace packing
