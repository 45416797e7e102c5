#pragma once

#include "base/Reasons.h"

#include <QByteArray>
#include <QString>


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

// Why the system's temporary folder cannot hold the work area, if it cannot:
// err::Reason::TemporaryMissing (no folder there: a TMPDIR that names a
// missing folder, say), TemporaryReadOnly (on a read-only file system),
// TemporaryLocked (this user may not make files in it), or None.
struct TemporaryCheck {
    err::Reason issue = err::Reason::None;
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
// refuses is error 76 or 70 with its reason.
QString WorkArea();
// The words with which WorkArea refuses a work area of another user's.
inline constexpr const char* OtherUsersWorkArea = "belongs to another user";

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
