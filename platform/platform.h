#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <ctime>

// What differs between the systems Quillfold runs on lives behind this one
// small interface, so that the pack run, the engine, the reader and the
// command-line programs are the same code everywhere.
//
// Failures are reported as errno codes (ENOENT, EACCES, EEXIST, ENOSPC ...);
// where the system has errors of its own, they are mapped onto these.
namespace platform {

// An error of Quillfold's own: the path names something other than a regular
// file (a folder, a pipe, a device).
constexpr int NotRegularFile = -1;

// The system's words for an error code.
QString ErrorText(int code);

// ---------------------------------------------------------------------------
// Files as they are on disk.
struct FileStatus {
    enum Kind { Missing, Regular, Folder, Link, Other };
    Kind kind = Missing;
    qint64 size = 0;
    time_t modified = 0;       // seconds since 1970, UTC
    quint64 device = 0, id = 0;  // together: this file, whatever its name
    uint owner = 0, group = 0;
    uint mode = 0;             // permission bits, 07777
};
// The file's status; a missing path is kind Missing, not an error. With
// `followLinks` false a symbolic link is kind Link.
int Stat(const QString& path, FileStatus& status, bool followLinks = true);

// The path that a chain of symbolic links ends at (the path itself when it is
// none): where a file written "at" the link belongs.
QString FinalTarget(const QString& path);

// True if this user may replace (rename over) the file `status` in the folder
// `folder`: false only in a folder where only owners may replace files (the
// sticky bit) that neither the file nor the folder is this user's.
bool MayReplace(const FileStatus& status, const FileStatus& folder);

// Opens a file for reading only if it is a regular file, never waiting on a
// pipe or a device. Returns the descriptor, or -1 with `error` set
// (NotRegularFile, ENOENT, EACCES ...); `status` receives the file's status.
int OpenForReading(const QString& path, int& error, FileStatus* status = nullptr);

// Starts writing a stretch of a file to disk (length 0: to its end) and
// returns at once, so that a flush later has little left to wait for. Where
// the system has no such call, does nothing.
void StartWriteback(int fd, qint64 offset, qint64 length);
// Flushes a written file's data and size to disk.
int SyncFile(const QString& path);
// Flushes everything written in the file system that holds `folder` (one call
// for many new files); where the system cannot, flushes each of `files`.
int SyncAll(const QString& folder, const QList<QString>& files);
// Flushes a folder's entries to disk, so that a rename in it survives a power cut.
int SyncFolder(const QString& folder);
// Gives `from` the name `to` in one step, replacing what is there. With
// SyncFile before and SyncFolder after, the standard durable replace: after a
// power cut either the old or the new file is there, whole.
int Replace(const QString& from, const QString& to);

// Gives the file `from` in the folder open as `folder` (whose path is
// `folderPath`) the name `to`, never over a file that is there: one may
// appear at any moment.
int MoveWithoutReplacing(int folder, const QString& folderPath, const QByteArray& from, const QByteArray& to);

// Gives the new file at `path`, which replaces a file of status `old`, the
// old one's owner and group where the system allows it and its permission
// bits, never set-user-ID, set-group-ID or sticky bits.
int TakeOver(const QString& path, const FileStatus& old);

// Sets a file's modification time.
int SetModified(int fd, time_t modified);
// The local date and time of a moment; false when the system has none for it.
bool LocalTime(time_t moment, std::tm& local);

// True if the process runs (or ran and is not yet reaped).
bool ProcessRuns(qint64 pid);

// The command-line arguments whose bytes the platform's decoding (what
// QCoreApplication::arguments() gives) does not give back unchanged: names that
// are not UTF-8 where the system passes bytes. Those are never to be used.
QList<QByteArray> InexactArguments(int argc, char** argv);

// ---------------------------------------------------------------------------
// A probe for tests: it sees each call above that reads a workbook or puts a
// file on disk for good, before the call is made, and may make it fail. No
// probe is set in the programs.
enum class Call {
    OpenForReading,  // a workbook or an archive opened to be read
    SyncFile,        // a written file's data and size to disk
    SyncAll,         // everything written in a folder's file system to disk
    SyncFolder,      // a folder's entries (a rename in it) to disk
    Rename,          // a file given its final name (`path` -> `other`)
};
class Probe {
public:
    virtual ~Probe() = default;
    // Returns 0 to let the call go on, or the error code it fails with.
    virtual int Before(Call call, const QString& path, const QString& other) = 0;
};
void SetProbe(Probe* probe);
// Asks the probe, if one is set; 0 when none is.
int Probed(Call call, const QString& path, const QString& other = {});

}  // namespace platform
