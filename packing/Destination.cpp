#include "Destination.h"

#include "base/Ending.h"
#include "base/RuntimeError.h"
#include "file.h"
#include "platform/platform.h"
#include "base/text.h"

#include <QDir>
#include <QHash>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>

namespace packing {
namespace {
using platform::FileStatus;

const QString Prefix = QStringLiteral(".quillfold");
// What it is, for anyone who finds it after a crash: unfinished, and not to be
// mistaken for a finished hand-over. It has an extension, so zip adds none.
const QString BuildName = QStringLiteral("unfinished.zip.part");

bool IsReadOnly(const FileStatus& status)
{
    return status.kind == FileStatus::Regular && !(status.mode & 0222);
}

// A failed flush: a full disk has its own number, anything else is an I/O error.
RuntimeError FlushFailed(int code, const QString& destination)
{
    const int number = platform::IsDiskFull(code) ? err::DiskFull : code == EFBIG ? err::FileTooLarge : err::DeviceIO;
    return RuntimeError::Because(number, platform::ErrorText(code), destination);
}
}  // namespace

QString UntrustedLinkText(const QString& link, const QString& owner)
{
    return QStringLiteral("%1 is a link that %2 made in a folder that everyone may write in; it is not followed "
                          "(remove the link, or choose another name)")
        .arg(link, owner);
}

DestinationCheck CheckDestination(const QString& destination)
{
    DestinationCheck check;
    check.link = platform::UntrustedLink(destination, check.owner);
    if (!check.link.isEmpty()) {
        check.issue = DestinationIssue::UntrustedLink;
        return check;
    }
    const QString target = platform::FinalTarget(destination);
    FileStatus folder, file;
    const QString folderPath = QFileInfo(target).path();
    const auto found = [&](DestinationIssue issue) {
        check.issue = issue;
        return check;
    };
    if (platform::Stat(folderPath, folder) != 0 || folder.kind != FileStatus::Folder)
        return found(DestinationIssue::FolderMissing);
    if (!platform::CanWriteIn(folderPath))
        return found(DestinationIssue::FolderLocked);
    platform::Stat(target, file);
    switch (file.kind) {
    case FileStatus::Missing: return check;
    case FileStatus::Folder: return found(DestinationIssue::IsFolder);
    case FileStatus::Regular: break;
    default: return found(DestinationIssue::NotRegularFile);
    }
    if (IsReadOnly(file))
        return found(DestinationIssue::ReadOnly);
    if (!platform::MayReplace(file, folder))
        return found(DestinationIssue::OwnedByOther);
    return check;
}

std::optional<QString> DestinationAmongSources(const QStringList& sources, const QString& destination)
{
    FileStatus target;
    if (platform::Stat(destination, target) == 0 && target.kind != FileStatus::Missing) {
        for (const QString& source : sources) {
            FileStatus status;
            if (platform::Stat(source, status) == 0 && status.kind != FileStatus::Missing &&
                status.device == target.device && status.id == target.id)
                return source;
        }
        return std::nullopt;
    }
    // Not there yet: the same path, however spelt.
    const QDir here = QDir::current();
    const QString path = QDir::cleanPath(here.absoluteFilePath(destination));
    for (const QString& source : sources) {
        if (QDir::cleanPath(here.absoluteFilePath(source)) == path)
            return source;
    }
    return std::nullopt;
}

QString PackageName(const QString& workbook)
{
    return text::BaseNameOf(QFileInfo(workbook).fileName()) + QStringLiteral(".enc");
}

NameIssue PackageNameIssue(const QString& workbook)
{
    const QString name = QFileInfo(workbook).fileName();
    if (name.startsWith(u'.'))
        return NameIssue::StartsWithDot;
    if (text::HasControl(name))
        return NameIssue::ControlCharacter;
    if (name.contains(u'\\'))
        return NameIssue::Backslash;
    if (std::any_of(name.begin(), name.end(), [](QChar c) { return QStringView(u"<>:\"|?*").contains(c); }))
        return NameIssue::WindowsCharacter;
    // Windows takes these for its devices, with any extension, and blanks before it.
    static const QStringList devices = [] {
        QStringList names{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"), QStringLiteral("NUL"),
                          QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
        for (const QString& port : {QStringLiteral("COM"), QStringLiteral("LPT")}) {
            for (const QString& digit : QStringList{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "\u00B9", "\u00B2", "\u00B3"})
                names << port + digit;
        }
        return names;
    }();
    QString stem = text::BaseNameOf(name);
    while (stem.endsWith(u' '))
        stem.chop(1);
    if (devices.contains(stem, Qt::CaseInsensitive))
        return NameIssue::WindowsDevice;
    if (name.endsWith(u'.') || name.endsWith(u' '))
        return NameIssue::EndsInDotOrSpace;
    if (PackageName(workbook).toUtf8().size() > LongestPackageName)
        return NameIssue::TooLong;
    return NameIssue::None;
}

QStringList ClashingEntries(const QStringList& entries)
{
    QHash<QString, QStringList> byPackage;
    byPackage.reserve(entries.size());
    QStringList order;
    for (const QString& entry : entries) {
        const QString key = PackageName(entry).toLower();
        QStringList& same = byPackage[key];
        if (same.isEmpty())
            order << key;
        same << entry;
    }
    QStringList clashes;
    for (const QString& key : order) {
        if (const QStringList& same = byPackage[key]; same.size() > 1)
            clashes << same.join(QStringLiteral(", ")) + QStringLiteral(" → ") + PackageName(same.first());
    }
    return clashes;
}

ArchiveAside::ArchiveAside(const QString& destination) : m_destination(destination)
{
    // Looked at again: a link may have been planted since the destination was checked.
    QString owner;
    if (const QString link = platform::UntrustedLink(destination, owner); !link.isEmpty())
        throw RuntimeError::Detailed(err::PermissionDenied, UntrustedLinkText(link, owner), destination);
    m_target = platform::FinalTarget(destination);
    FileStatus old;
    platform::Stat(m_target, old);
    if (old.kind == FileStatus::Folder)
        throw RuntimeError::Detailed(err::PathFileAccess, QStringLiteral("the destination is a folder"), destination);
    if (old.kind != FileStatus::Missing && old.kind != FileStatus::Regular)
        throw RuntimeError::Detailed(err::PathFileAccess, platform::ErrorText(platform::NotRegularFile), destination);
    if (IsReadOnly(old))  // the operator protected it
        throw RuntimeError(err::PathFileAccess, destination);
    const QString folder = QFileInfo(m_target).path();
    runs::RemoveLeftovers(folder, Prefix);
    try {
        m_folder = runs::RunFolder(folder, Prefix);
    } catch (const RuntimeError& error) {
        throw RuntimeError(error.number(), destination);
    }
    m_path = m_folder.path() + u'/' + BuildName;
}

ArchiveAside::~ArchiveAside()
{
    try {
        m_flushing.Join();  // before its file is removed
    } catch (...) {  // nothing: it flushes, and throws nothing
    }
}

void ArchiveAside::StartFlush()
{
    m_flushing.Start([this] { m_flushed = platform::SyncFile(m_path); });  // where it cannot start, SwapIn flushes
}

void ArchiveAside::SwapIn()
{
    m_flushing.Join();
    if (m_flushed < 0)
        m_flushed = platform::SyncFile(m_path);
    if (const int failed = m_flushed)
        throw FlushFailed(failed, m_destination);
    // What is there now, which may have changed while the archive was built.
    FileStatus old;
    platform::Stat(m_target, old, false);
    if (old.kind != FileStatus::Missing && old.kind != FileStatus::Regular)
        throw RuntimeError::Detailed(err::PathFileAccess, platform::ErrorText(platform::NotRegularFile), m_destination);
    if (old.kind == FileStatus::Regular) {
        if (const int failed = platform::TakeOver(m_path, m_target, old))
            throw RuntimeError::Because(err::NumberOfErrno(failed), platform::ErrorText(failed), m_destination);
    }
    ending::ThrowIfRequested();  // the last moment at which the old archive can stay
    if (const int failed = platform::Replace(m_path, m_target))
        throw RuntimeError::Because(err::NumberOfErrno(failed), platform::ErrorText(failed), m_destination);
}

void ArchiveAside::FlushSwap()
{
    if (const int failed = platform::SyncFolder(QFileInfo(m_target).path()))
        throw FlushFailed(failed, m_destination);
}

}  // namespace packing
