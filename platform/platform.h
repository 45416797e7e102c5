#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>

class QProcess;
class QTextStream;

// What differs between the systems Quillfold runs on lives behind this one
// small interface, so that the pack run, the engine, the reader and the
// command-line programs are the same code everywhere. posix.cpp holds Linux's
// side, windows.cpp Windows'.
//
// Failures are errno codes (ENOENT, EACCES, EEXIST, ENOSPC ...); where the
// system has errors of its own, they are mapped onto these. Paths are
// QStrings with "/" as separator; each side hands them to the system as its
// own calls take them (bytes on POSIX, UTF-16 on Windows), never through a
// narrow code page.
namespace platform {

// An error of Quillfold's own: the path names something other than a regular
// file (a folder, a pipe, a device).
constexpr int NotRegularFile = -1;

// The system's words for an error code. A file too large (EFBIG) says whether
// this account's file-size limit or the file system's own stopped it.
QString ErrorText(int code);
// True for the codes of a full disk: no space, a quota. (A file too large is
// not one: more room on the disk would not help it.)
bool IsDiskFull(int code);

// ---------------------------------------------------------------------------
// Files as they are on disk.
struct FileStatus {
    enum Kind { Missing, Regular, Folder, Link, Other };
    Kind kind = Missing;
    qint64 size = 0;
    time_t modified = 0;         // seconds since 1970, UTC
    quint64 device = 0, id = 0;  // together: this file, whatever its name
    uint owner = 0, group = 0;   // POSIX owner and group
    uint mode = 0;               // permission bits, 07777 (Windows: 0444 or 0666)
    bool mine = true;            // owned by this user
};
// The file's status; a missing path is kind Missing, not an error. With
// `followLinks` false a symbolic link (on Windows any reparse point: a
// junction too) is kind Link.
int Stat(const QString& path, FileStatus& status, bool followLinks = true);

// The path that a chain of symbolic links ends at (the path itself when it is
// none): where a file written "at" the link belongs.
QString FinalTarget(const QString& path);

// True if the system would follow the symbolic link `link` (in the folder
// `folder`) for this user where it protects links (Linux's
// fs.protected_symlinks): in a sticky folder that everyone may write in, only
// a link of this user's or of the folder's owner's is followed. Always true
// where the system has no such rule.
bool MayFollow(const FileStatus& link, const FileStatus& folder);
// The first link in the chain from `path` to its final target that MayFollow
// refuses, with its owner's name in `owner`; empty when there is none. A
// program that resolves links itself (FinalTarget) asks this first, so that
// it never follows a link the system would not.
QString UntrustedLink(const QString& path, QString& owner);
// A user's name, from the number a file's status gives (empty where the
// system has no such numbers).
QString OwnerName(uint owner);

// True if this user may replace (rename over) the file `status` in the folder
// `folder`: false only in a folder where only owners may replace files (the
// sticky bit) that neither the file nor the folder is this user's.
bool MayReplace(const FileStatus& status, const FileStatus& folder);

// True if this user may make files in the folder.
bool CanWriteIn(const QString& folder);
// 0 if this user may make files in the folder, or why not: ENOENT, ENOTDIR,
// EACCES, EROFS (a read-only file system) ...
int WriteAccess(const QString& folder);

// ---------------------------------------------------------------------------
// An open file; closed when it goes.
class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool IsOpen() const { return m_handle != Invalid; }
    // Reads at the current position: bytes read (0 at the end), or -1 with errno set.
    qint64 Read(char* data, qint64 size);
    // Reads at an offset until `size` bytes are in or the file ends: how many
    // came, or -1 with errno set. The position is not used.
    qint64 ReadAt(char* data, qint64 size, qint64 offset);
    // Writes all of it at the current position, or at an offset; false with errno set.
    bool Write(const char* data, qint64 size);
    bool WriteAt(const char* data, qint64 size, qint64 offset);
    // Its data and size to disk; 0 or the error.
    int Sync();
    // Starts writing a stretch (length 0: to the end) to disk and returns at
    // once, so that a flush later has little left to wait for. Where the system
    // has no such call, does nothing.
    void StartWriteback(qint64 offset, qint64 length);
    int SetModified(time_t modified);
    int Status(FileStatus& status) const;
    void Close();

private:
    friend File OpenForReading(const QString&, int&, FileStatus*);
    friend File OpenForUpdate(const QString&, int&);
    friend File CreateNew(const QString&, int&);
    friend class Folder;
    static constexpr intptr_t Invalid = -1;
    explicit File(intptr_t handle) : m_handle(handle) {}
    intptr_t m_handle = Invalid;
};

// Opens a file for reading only if it is a regular file, never waiting on a
// pipe or a device. On failure the file is not open and `error` is set
// (NotRegularFile, ENOENT, EACCES ...); `status` receives the file's status.
File OpenForReading(const QString& path, int& error, FileStatus* status = nullptr);
// Opens an existing regular file for reading and writing, never through a
// symbolic link.
File OpenForUpdate(const QString& path, int& error);
// Makes a new file (never one that is there, never through a link) for
// reading and writing, with the permissions any new file gets.
File CreateNew(const QString& path, int& error);

// A QIODevice over a File: unbuffered, reading and writing at the file's
// position; its error string is the system's words.
class FileDevice : public QIODevice {
public:
    FileDevice(File file, OpenMode mode);
    File& file() { return m_file; }
    bool isSequential() const override { return true; }
    void close() override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    File m_file;
};

// ---------------------------------------------------------------------------
// Folders.

// Makes a folder (its parent must exist) with the permissions any new folder
// gets; 0, EEXIST when something is there, or the error.
int MakeFolder(const QString& path);
// The same, for this user alone (POSIX: 0700 whatever the umask).
int MakePrivateFolder(const QString& path);
// Makes a new private folder (this user only) in `parent`, named `stem` and
// six random letters, and returns its path; empty with `error` set on failure.
QString MakeUniqueFolder(const QString& parent, const QByteArray& stem, int& error);
// Whether a folder is this user's alone, and if not, why not.
enum class Privacy {
    Private,
    Link,          // a symbolic link (Windows: any reparse point, a junction too)
    NotFolder,
    OthersOwn,     // another user's
    OpenToOthers,  // others may change it
    Unknown,       // its status cannot be read
};
Privacy FolderPrivacy(const QString& path);
// The user, as a name for the work area: "quillfold-<this>".
QString UserTag();
// The environment variable that names the temporary folder (TMPDIR; on
// Windows TMP, or TEMP where only that is set), and in `value` what it holds
// (empty when it is not set).
QString TemporaryVariable(QString& value);

// A folder held open while its files are made, named and removed: they are
// reached through it, never through a link put in its place.
class Folder {
public:
    // With `refuseLinks`, a folder that is a symbolic link (a reparse point)
    // is refused (ELOOP, or EACCES where the system has no ELOOP).
    static Folder Open(const QString& path, bool refuseLinks, int& error);
    Folder() = default;
    ~Folder();
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    bool IsOpen() const { return m_handle != Invalid; }
    const QString& path() const { return m_path; }
    // True if the folder is this user's.
    bool Mine() const;

    // A name's status, not following a link; Missing when it is not there.
    int Status(const QString& name, FileStatus& status) const;
    // A new file named `stem` and six random letters: `name` gets its name.
    File CreateTemporary(const QByteArray& stem, QString& name, int& error);
    int Remove(const QString& name);
    // Removes every file directly in it (links themselves, never what they
    // lead to); subfolders stay.
    void RemoveFiles();
    // Gives `from` the name `to`, never over a file that is there: one may
    // appear at any moment.
    int MoveWithoutReplacing(const QString& from, const QString& to);
    // A new file without a name, to be given one by Link: until then it is
    // in no listing, and if it never is, it vanishes (after a crash too).
    // Not open, with `error` ENOTSUP, where the system or the file system
    // has no such files (only Linux has them).
    File CreateUnnamed(int& error);
    // Gives a file made by CreateUnnamed the name `to`, never over a file
    // that is there.
    int Link(const File& file, const QString& to);
    // A new private folder (this user only, whatever the umask) in it, named
    // `stem` and six random letters, opened: `name` gets its name. Not open,
    // with `error` set, on failure.
    Folder MakeUnique(const QByteArray& stem, QString& name, int& error);
    // Removes an empty folder in it; 0 or the error.
    int RemoveFolder(const QString& name);
    // Its entries (a rename in it) to disk.
    int Sync();
    // Bytes free for this user on its file system, or -1 when unknown.
    qint64 FreeSpace() const;
    // The names in it (not "." and "..").
    QStringList Names() const;

private:
    static constexpr intptr_t Invalid = -1;
    intptr_t m_handle = Invalid;
    QString m_path;
};

// Removes an empty folder; 0 or the error.
int RemoveFolder(const QString& path);

// Names of the files (regular files only) in a folder whose bytes are not
// UTF-8, as they are (on systems whose file names are bytes; none on Windows,
// whose names are UTF-16).
QList<QByteArray> UndecodableNames(const QString& folder);
// Gives a file so named the name `to` in the same folder, never over a file.
int RenameUndecodable(const QString& folder, const QByteArray& from, const QString& to);

// ---------------------------------------------------------------------------
// Putting files on disk for good: the standard durable replace is SyncFile,
// Replace, SyncFolder; after a power cut either the old or the new file is
// there, whole.

// Flushes a written file's data and size to disk.
int SyncFile(const QString& path);
// Flushes everything written in the file system that holds `folder` (one call
// for many new files); where the system cannot, flushes each of `files`.
int SyncAll(const QString& folder, const QList<QString>& files);
// Flushes a folder's entries to disk, so that a rename in it survives a power
// cut (on Windows the rename was written through already).
int SyncFolder(const QString& folder);
// Gives `from` the name `to` in one step, replacing what is there.
int Replace(const QString& from, const QString& to);
// Gives the new file at `path`, which replaces a file of status `old`, the
// old one's owner and group where the system allows it and its permission
// bits, never set-user-ID, set-group-ID or sticky bits. (Windows: the access
// list of `previous`, the old file, and whether it inherits its folder's.)
int TakeOver(const QString& path, const QString& previous, const FileStatus& old);

// ---------------------------------------------------------------------------
// Processes.

// True if the process runs (or ran and is not yet reaped).
bool ProcessRuns(qint64 pid);
// The file the system starts for a program named without an extension.
QString ProgramFile(const QString& path);
// Before a child is started: it runs with no terminal and no window, and it
// is stopped when this program dies (POSIX: its own session and a parent-death
// signal; Windows: a job of its own that kills it, and all it started, when
// its last handle goes).
void PrepareChild(QProcess& process);
// Right after it started.
void ChildStarted(QProcess& process);
// Stops it and waits until it is gone (POSIX: SIGTERM, then SIGKILL after
// `graceMs`; Windows: its job is terminated, which leaves it no chance to
// clean up: what it was writing must be removed by the caller).
void StopChild(QProcess& process, int graceMs);

// ---------------------------------------------------------------------------
// Interrupts, the console, the command line.

// Catches what asks a program to end from outside: SIGINT, SIGTERM, SIGHUP
// (Windows: Ctrl+C, Ctrl+Break, the console window closing, log-off and
// shut-down). The number of the first (as POSIX numbers them: 2, 15, 1) goes
// into `caught` at once, from whatever thread; `onMainThread` then runs on the
// main thread once its event loop runs. Call once, with the application made.
void CatchInterrupts(std::atomic<int>& caught, std::function<void()> onMainThread);
// Says that the program has done what it does when it ends (on Windows a
// closing console window waits for this, a little while, before it kills it).
void Ended();
// Output into a pipe whose reader is gone, and a file that would pass this
// account's file-size limit, are errors to report (EPIPE, EFBIG), not signals
// that end the program before it can clean up. What it starts inherits this.
void ErrorsNotSignals();
// When `which` (stdout or stderr) is a console, `stream` writes to it as text,
// so that Thai shows as Thai whatever the console's code page (Windows: as
// UTF-16; elsewhere the stream is left as it is).
void WriteTextToConsole(QTextStream& stream, FILE* which);
bool InputIsTerminal();
bool ErrorIsTerminal();
// Shows `question` on stderr and reads one line from the terminal without
// showing it. Echo is off only while the line is typed, and comes back on
// every way out, an interrupt at the prompt too (which then ends the program
// as it would have).
QString ReadHidden(const char* question);
// The command-line arguments whose bytes the platform's decoding (what
// QCoreApplication::arguments() gives) does not give back unchanged: names that
// are not UTF-8 where the system passes bytes. Those are never to be used.
QList<QByteArray> InexactArguments(int argc, char** argv);

// ---------------------------------------------------------------------------
// The rest.

// Lets this process have as many files open as the system allows it, and
// returns how many that is.
int RaiseOpenFileLimit();

// The local date and time of a moment; false when the system has none for it.
bool LocalTime(time_t moment, std::tm& local);
// For a program that allocates and frees buffers by the thousand: freed memory
// is kept for the next instead of handed back to the system each time.
void KeepFreedMemory();
// How this system's Info-ZIP zip marks an entry it adds: "version made by" and
// the external attributes of a new file (POSIX: Unix and the mode any new file
// gets; Windows: FAT and the archive attribute).
struct EntryMarks {
    quint16 madeBy = 0;
    quint32 external = 0;
};
EntryMarks NewEntryMarks();

// ---------------------------------------------------------------------------
// A probe for tests: it sees each call above that reads a workbook or puts a
// file on disk for good, and each start of a thread, before the call is made,
// and may make it fail. No probe is set in the programs.
enum class Call {
    OpenForReading,  // a workbook or an archive opened to be read
    SyncFile,        // a written file's data and size to disk
    SyncAll,         // everything written in a folder's file system to disk
    SyncFolder,      // a folder's entries (a rename in it) to disk
    Rename,          // a file given its final name (`path` -> `other`)
    StartThread,     // a thread about to be started (a failure: the system starts no more)
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
