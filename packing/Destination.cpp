#include "Destination.h"

#include "RuntimeError.h"
#include "file.h"
#include "text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace packing {
namespace {
using file::Native;

const QString Prefix = QStringLiteral(".quillfold");
const QString BuildName = QStringLiteral("archive.zip");  // ends in .zip: zip adds nothing

bool IsReadOnlyFile(const struct stat& info)
{
    return S_ISREG(info.st_mode) && !(info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH));
}
}  // namespace

DestinationIssue CheckDestination(const QString& destination)
{
    const QByteArray folder = Native(QFileInfo(destination).path());
    struct stat info {};
    if (::stat(folder.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return DestinationIssue::FolderMissing;
    if (::access(folder.constData(), W_OK | X_OK) != 0)
        return DestinationIssue::FolderLocked;
    if (::stat(Native(destination).constData(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return DestinationIssue::IsFolder;
        if (IsReadOnlyFile(info))
            return DestinationIssue::ReadOnly;
    }
    return DestinationIssue::None;
}

std::optional<QString> DestinationAmongSources(const QStringList& sources, const QString& destination)
{
    struct stat targetInfo {};
    if (::stat(Native(destination).constData(), &targetInfo) == 0) {
        for (const QString& source : sources) {
            struct stat sourceInfo {};
            if (::stat(Native(source).constData(), &sourceInfo) == 0 && sourceInfo.st_dev == targetInfo.st_dev &&
                sourceInfo.st_ino == targetInfo.st_ino)
                return source;
        }
        return std::nullopt;
    }
    // Not there yet: the same path, however spelt.
    const QDir here = QDir::current();
    const QString target = QDir::cleanPath(here.absoluteFilePath(destination));
    for (const QString& source : sources) {
        if (QDir::cleanPath(here.absoluteFilePath(source)) == target)
            return source;
    }
    return std::nullopt;
}

QStringList ClashingEntries(const QStringList& entries)
{
    QMap<QString, QStringList> byPackage;
    QStringList order;
    for (const QString& entry : entries) {
        const QString key = text::BaseNameOf(QFileInfo(entry).fileName()).toLower();
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

ArchiveAside::ArchiveAside(const QString& destination) : m_destination(destination)
{
    struct stat old {};
    if (::stat(Native(destination).constData(), &old) == 0) {
        if (S_ISDIR(old.st_mode)) {
            throw RuntimeError::Detailed(err::PathFileAccess, QStringLiteral("the destination is a folder"), destination);
        }
        if (IsReadOnlyFile(old))  // the operator protected it
            throw RuntimeError(err::PathFileAccess, destination);
        m_oldMode = old.st_mode & 07777;
    }
    const QString folder = QFileInfo(destination).path();
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
    file::RemoveRunFolder(m_folder);
}

void ArchiveAside::SwapIn()
{
    const QByteArray archive = Native(m_path);
    if (m_oldMode)  // as private, or as shared, as the archive it replaces
        ::chmod(archive.constData(), *m_oldMode);
    if (std::rename(archive.constData(), Native(m_destination).constData()) != 0)
        throw RuntimeError(err::NumberOfErrno(errno), m_destination);
}

}  // namespace packing
