#pragma once

#include <QByteArray>
#include <QString>

#include "platform/platform.h"

// The work folder helpers. Neither ever throws: each returns a result text.
//
//   "S:"                                   done
//   ""                                     a file or folder of that name already exists (58)
//   "E:" number ":" description            any other failure (CreateFolderPath)
//   "E:" number ":" description ":" path   any other failure (DeleteFolderPath)
//
// Numbers used: 5 (empty path), 70 (Permission denied), 75 (Path/File access
// error), 76 (Path not found).
namespace file {

// Creates the last folder of the path; its parent must exist.
QString CreateFolderPath(const QString& path);

// Deletes the folder with everything in it. Not forced: when any file inside is
// read-only (has no write permission bit) nothing is deleted and the result is
// error 70, whoever runs the program.
QString DeleteFolderPath(const QString& path);

// Why the system's temporary folder cannot hold the work area, if it cannot.
enum class TemporaryIssue {
    None,
    Missing,   // no folder there (a TMPDIR that names a missing folder, say)
    ReadOnly,  // on a read-only file system
    Locked,    // this user may not make files in it
};
struct TemporaryCheck {
    TemporaryIssue issue = TemporaryIssue::None;
    QString folder;    // the temporary folder, as far as it is known
    QString variable;  // the environment variable that names it (TMPDIR; on Windows TMP or TEMP)
    QString value;     // what that variable holds: empty when it is not set
};
TemporaryCheck CheckTemporaryFolder();

// The work area: this user's own folder under the temporary folder,
// <tmp>/quillfold-<uid>. Made (mode 0700 whatever the umask) when missing; a
// path there that is not a real folder of this user's, closed to everyone
// else, is refused with run-time error 70 and left as it is. Never a shared
// name: what one user packs is out of every other user's reach; never at the
// root of the file system: a temporary folder that CheckTemporaryFolder
// refuses is error 76 or 70 with that reason.
QString WorkArea();
// The words with which WorkArea refuses a work area of another user's, and a
// temporary folder that is missing, on a read-only file system, or closed to
// this user.
inline constexpr const char* OtherUsersWorkArea = "belongs to another user";
inline constexpr const char* MissingTemporary = "names no folder";
inline constexpr const char* ReadOnlyTemporary = "is on a read-only file system";
inline constexpr const char* LockedTemporary = "cannot be written by this user";

// A new private folder (0700 whatever the umask) for one run inside `parent`,
// named "<prefix>-<host>-<pid>-XXXXXX" so that a later run can tell whose it
// was and whether that run is over. It is held open with `parent`: what the
// run made is removed through the two, even once someone has moved them, never
// through a path that no longer leads there. Errors: 76 when `parent` does not
// exist, 70 when it cannot be written, 75 otherwise.
class RunFolder {
public:
    RunFolder() = default;
    RunFolder(const QString& parent, const QString& prefix);
    // Remove().
    ~RunFolder();
    RunFolder(RunFolder&& other) noexcept = default;
    RunFolder& operator=(RunFolder&& other) noexcept;

    // Where it is (where it was made).
    const QString& path() const { return m_self.path(); }
    // Removes every file directly in it (links themselves, never what they
    // lead to), then the folder. Subfolders, which no run makes, are left, and
    // so is the folder then. Never throws.
    void Remove();

private:
    platform::Folder m_parent;
    platform::Folder m_self;
    QString m_name;
};

// The start of a name that tells which run made it: "<prefix>-<host>-<pid>-";
// six random letters complete it (RunFolder, platform::Folder::CreateTemporary).
QByteArray RunStem(const QString& prefix);

// Removes what runs that ended without cleaning up (a crash, a power cut) left
// in `parent`: folders and files named RunStem(prefix) and six letters, owned
// by this user, made on this machine by a process that no longer runs.
// Nothing else is touched. Returns false if `parent` holds nothing else
// afterwards, true if it does or cannot be listed. Never throws.
bool RemoveLeftovers(const QString& parent, const QString& prefix);

// Removes a folder that a run left (as RunFolder::Remove does). Never throws.
void RemoveRunFolder(const QString& path);

// The chosen names (in `folder`) that do not name a file as they stand: names
// whose bytes are not UTF-8, which the platform gives back changed, with
// replacement characters (a Thai name in the old Thai code page, say). Each
// comes as well as it can be shown: its bytes read as Windows-874.
QStringList UnreachableNames(const QString& folder, const QStringList& names);

// A file in a folder whose name the system cannot read (its bytes are not
// UTF-8), so that no file dialog shows it: the name as well as it can be shown
// (read as Windows-874, or its bytes), and the readable name it could get
// (empty if its bytes are not Windows-874 text either).
struct UnreadableFile {
    QByteArray bytes;
    QString shown;
    QString readable;
};
QList<UnreadableFile> UnreadableFiles(const QString& folder);
// Renames one to its readable name, never over a file that has that name:
// 0, or the error (EEXIST when the name is taken).
int RenameToReadable(const QString& folder, const UnreadableFile& file);

}  // namespace file
