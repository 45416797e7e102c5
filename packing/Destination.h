#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

// The destination archive of a hand-over: what must hold before anything is
// made, and the new archive built aside and put in its place in one step.
namespace packing {

// Why a destination cannot take a new archive.
enum class DestinationIssue {
    None,
    FolderMissing,  // its folder does not exist
    FolderLocked,   // its folder cannot be written
    IsFolder,       // the path names a folder
    ReadOnly,       // an archive is there, protected against writing
};
DestinationIssue CheckDestination(const QString& destination);

// The source (a full path) that the destination is, if any: the same file,
// however spelt.
std::optional<QString> DestinationAmongSources(const QStringList& sources, const QString& destination);

// Groups of entries that would get the same package name (compared without
// regard to letter case, as recipients may extract on Windows), each group as
// its entries joined by ", ".
QStringList ClashingEntries(const QStringList& entries);

// A new archive, built in a private folder beside its destination (same file
// system, ".quillfold-<host>-<pid>-XXXXXX", mode 0700) under a name that ends
// in ".zip", and put at exactly the destination's path with one rename once
// it is complete and checked. Until then an archive at the destination is
// untouched. What is left of earlier runs that crashed there is removed first.
class ArchiveAside {
public:
    // Errors: 75 when the destination is a folder or a read-only archive (the
    // operator protected it); 76, 70 or 61 when the folder beside it cannot be
    // made, named with the destination.
    explicit ArchiveAside(const QString& destination);
    // Removes the private folder and everything in it, unless swapped in.
    ~ArchiveAside();
    ArchiveAside(const ArchiveAside&) = delete;
    ArchiveAside& operator=(const ArchiveAside&) = delete;

    const QString& destination() const { return m_destination; }
    // Where the new archive is built.
    const QString& path() const { return m_path; }

    // Puts the new archive in place of the destination, with the permissions
    // of the archive it replaces. Error: the rename's, named with the destination.
    void SwapIn();

private:
    QString m_destination;
    QString m_folder;
    QString m_path;
    std::optional<mode_t> m_oldMode;
};

}  // namespace packing
