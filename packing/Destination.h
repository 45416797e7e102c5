#pragma once

#include <QString>
#include <QStringList>

#include "base/Parallel.h"
#include "base/Reasons.h"
#include "base/RunFolder.h"

#include <optional>

// The destination archive of a hand-over: what must hold before anything is
// made, and the new archive built aside and put in its place in one step.
namespace packing {

// Checks that the destination can take a new archive; a failure is a
// run-time error with its reason (err::Reason::Destination...): 76 its folder
// missing, 70 its folder locked, another user's archive in a folder where
// only owners may replace files, or a link another user made in a sticky
// folder that everyone may write in (the link and its owner named); 75 a
// folder, not a regular file, a read-only archive. A destination that is a
// symbolic link stands for the file it leads to: that file is replaced, and
// the link stays; but a link is followed only where the system would follow
// it (see platform::MayFollow).
void CheckDestination(const QString& destination);

// The source (a full path) that the destination is, if any: the same file,
// however spelt.
std::optional<QString> DestinationAmongSources(const QStringList& sources, const QString& destination);

// A workbook's package name: its name up to the first dot, and ".enc".
QString PackageName(const QString& workbook);
// The longest file name that file systems take, in bytes of UTF-8, on every
// system Quillfold runs on. A package name leaves room for the longest
// extension a restore gives its workbook (".xlsx", one byte more than
// ".enc"), so that the workbook comes back under its own name.
constexpr int LongestFileName = 255;
constexpr int LongestRestoredExtension = 5;  // ".xlsx"
constexpr int LongestPackageName = LongestFileName - LongestRestoredExtension + 4;
// Why a workbook's name cannot make a package name that comes back to the
// recipient as it is, if it cannot (err::Reason::Name..., or None).
// Recipients are on Windows as much as anywhere: what Windows cannot hold (a
// character, a device's name, a dot or a space at the end), or a restore
// would change (a control character, a backslash), is refused, and so is a
// dot first (the package would be named ".enc") and a package name longer
// than LongestPackageName.
err::Reason PackageNameIssue(const QString& workbook);

// Groups of entries that would get the same package name (compared without
// regard to letter case, as recipients may extract on Windows), each group as
// its entries joined by ", ", then " → " and the name they would share.
QStringList ClashingEntries(const QStringList& entries);

// A new archive, built in a private folder beside its destination (same file
// system, ".quillfold-<host>-<pid>-XXXXXX", mode 0700) under a name that says
// it is unfinished, and put at exactly the destination's path with one rename
// once it is complete, checked and on disk. Until then an archive at the
// destination is untouched. What is left of earlier runs that crashed there
// is removed first.
class ArchiveAside {
public:
    // Errors: 75 when the destination is a folder, not a regular file, or a
    // read-only archive (the operator protected it); 70 when it is a link the
    // system would not follow; 76, 70 or 61 when the folder beside it cannot
    // be made, named with the destination.
    explicit ArchiveAside(const QString& destination);
    // Removes the private folder and everything in it, unless swapped in.
    ~ArchiveAside();
    ArchiveAside(const ArchiveAside&) = delete;
    ArchiveAside& operator=(const ArchiveAside&) = delete;

    const QString& destination() const { return m_destination; }
    // Where the new archive is built.
    const QString& path() const { return m_path; }

    // Starts flushing the new archive, complete now, to disk on a thread of
    // its own, so that reading it back and flushing it overlap; SwapIn waits
    // for the flush.
    void StartFlush();
    // Flushes the new archive to disk and puts it in place of the destination
    // (of the file a symbolic link leads to) in one rename, with the owner,
    // group and permission bits of the file it replaces where allowed, never
    // its set-ID bits. Honours an interrupt up to the rename
    // (ending::ProgramEnding). Errors (57, 61 for the flush; the rename's)
    // leave the destination as it was.
    void SwapIn();
    // Flushes the rename to disk, after SwapIn: only then does the new archive
    // survive a power cut. Error 57 (the new archive is in place already).
    void FlushSwap();

private:
    QString m_destination;
    QString m_target;  // the file that is replaced
    runs::RunFolder m_folder;
    QString m_path;
    Parallel m_flushing;  // started by StartFlush
    int m_flushed = -1;   // what it found: 0 or the error code (-1: not yet flushed)
};

}  // namespace packing
