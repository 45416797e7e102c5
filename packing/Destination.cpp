#include "Destination.h"

#include "file.h"
#include "base/Ending.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "platform/platform.h"

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

void CheckDestination(const QString& destination)
{
    const auto refuse = [&](int number, err::Reason reason, const QStringList& particulars = {}) {
        throw RuntimeError::For(number, reason, particulars, destination);
    };
    QString owner;
    if (const QString link = platform::UntrustedLink(destination, owner); !link.isEmpty())
        refuse(err::PermissionDenied, err::Reason::DestinationLink, {link, owner});
    const QString target = platform::FinalTarget(destination);
    FileStatus folder, file;
    const QString folderPath = QFileInfo(target).path();
    if (platform::Stat(folderPath, folder) != 0 || folder.kind != FileStatus::Folder)
        refuse(err::PathNotFound, err::Reason::DestinationFolderMissing);
    if (!platform::CanWriteIn(folderPath))
        refuse(err::PermissionDenied, err::Reason::DestinationFolderLocked);
    platform::Stat(target, file);
    switch (file.kind) {
    case FileStatus::Missing: return;
    case FileStatus::Folder: refuse(err::PathFileAccess, err::Reason::DestinationIsFolder);
    case FileStatus::Regular: break;
    default: refuse(err::PathFileAccess, err::Reason::DestinationNotRegular);
    }
    if (IsReadOnly(file))
        refuse(err::PathFileAccess, err::Reason::DestinationReadOnly);
    if (!platform::MayReplace(file, folder))
        refuse(err::PermissionDenied, err::Reason::DestinationOfOther);
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

err::Reason PackageNameIssue(const QString& workbook)
{
    using err::Reason;
    const QString name = QFileInfo(workbook).fileName();
    if (name.startsWith(u'.'))
        return Reason::NameStartsWithDot;
    if (text::HasControl(name))
        return Reason::NameControlCharacter;
    if (name.contains(u'\\'))
        return Reason::NameBackslash;
    if (std::any_of(name.begin(), name.end(), [](QChar c) { return QStringView(u"<>:\"|?*").contains(c); }))
        return Reason::NameWindowsCharacter;
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
        return Reason::NameWindowsDevice;
    if (name.endsWith(u'.') || name.endsWith(u' '))
        return Reason::NameEndsInDotOrSpace;
    if (PackageName(workbook).toUtf8().size() > LongestPackageName)
        return Reason::NameTooLong;
    return Reason::None;
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
        throw RuntimeError::For(err::PermissionDenied, err::Reason::DestinationLink, {link, owner}, destination);
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
