#include "Destination.h"

#include "Ending.h"
#include "RuntimeError.h"
#include "file.h"
#include "platform/platform.h"
#include "text.h"

#include <QDir>
#include <QHash>
#include <QFileInfo>

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
    const int number = platform::IsDiskFull(code) ? err::DiskFull : err::DeviceIO;
    return RuntimeError::Because(number, platform::ErrorText(code), destination);
}
}  // namespace

DestinationIssue CheckDestination(const QString& destination)
{
    const QString target = platform::FinalTarget(destination);
    FileStatus folder, file;
    const QString folderPath = QFileInfo(target).path();
    if (platform::Stat(folderPath, folder) != 0 || folder.kind != FileStatus::Folder)
        return DestinationIssue::FolderMissing;
    if (!platform::CanWriteIn(folderPath))
        return DestinationIssue::FolderLocked;
    platform::Stat(target, file);
    switch (file.kind) {
    case FileStatus::Missing: return DestinationIssue::None;
    case FileStatus::Folder: return DestinationIssue::IsFolder;
    case FileStatus::Regular: break;
    default: return DestinationIssue::NotRegularFile;
    }
    if (IsReadOnly(file))
        return DestinationIssue::ReadOnly;
    if (!platform::MayReplace(file, folder))
        return DestinationIssue::OwnedByOther;
    return DestinationIssue::None;
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
    if (QFileInfo(workbook).fileName().startsWith(u'.'))
        return NameIssue::StartsWithDot;
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

ArchiveAside::ArchiveAside(const QString& destination)
    : m_destination(destination), m_target(platform::FinalTarget(destination))
{
    FileStatus old;
    platform::Stat(m_target, old);
    if (old.kind == FileStatus::Folder)
        throw RuntimeError::Detailed(err::PathFileAccess, QStringLiteral("the destination is a folder"), destination);
    if (old.kind != FileStatus::Missing && old.kind != FileStatus::Regular)
        throw RuntimeError::Detailed(err::PathFileAccess, platform::ErrorText(platform::NotRegularFile), destination);
    if (IsReadOnly(old))  // the operator protected it
        throw RuntimeError(err::PathFileAccess, destination);
    const QString folder = QFileInfo(m_target).path();
    file::RemoveLeftovers(folder, Prefix);
    try {
        m_folder = file::MakeRunFolder(folder, Prefix);
    } catch (const RuntimeError& error) {
        throw RuntimeError(error.number(), destination);
    }
    m_path = m_folder + u'/' + BuildName;
}

ArchiveAside::~ArchiveAside()
{
    if (m_flush.valid())
        m_flush.wait();
    file::RemoveRunFolder(m_folder);
}

void ArchiveAside::StartFlush()
{
    m_flush = std::async(std::launch::async, [path = m_path] { return platform::SyncFile(path); });
}

void ArchiveAside::SwapIn()
{
    if (const int failed = m_flush.valid() ? m_flush.get() : platform::SyncFile(m_path))
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
