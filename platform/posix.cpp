// The platform's calls on Linux and other POSIX systems.
#include "platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <iterator>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <malloc.h>
#include <sys/prctl.h>
#endif

namespace platform {
namespace {
QByteArray Native(const QString& path)
{
    return QFile::encodeName(path);
}

int Fd(intptr_t handle)
{
    return int(handle);
}

FileStatus StatusOf(const struct stat& info)
{
    FileStatus status;
    status.kind = S_ISREG(info.st_mode)   ? FileStatus::Regular
                  : S_ISDIR(info.st_mode) ? FileStatus::Folder
                  : S_ISLNK(info.st_mode) ? FileStatus::Link
                                          : FileStatus::Other;
    status.size = info.st_size;
    status.modified = info.st_mtime;
    status.device = info.st_dev;
    status.id = info.st_ino;
    status.owner = info.st_uid;
    status.group = info.st_gid;
    status.mode = info.st_mode & 07777;
    static const uid_t me = ::geteuid();  // a call per file adds up over thousands of workbooks
    status.mine = info.st_uid == me;
    return status;
}

// Opens and flushes a file or a folder; 0 or the errno.
int Flush(const QByteArray& path, int flags)
{
    const int fd = ::open(path.constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

QByteArray RandomLetters()
{
    static constexpr char Letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray letters;
    for (int i = 0; i < 6; ++i)
        letters += Letters[QRandomGenerator::system()->bounded(int(sizeof Letters - 1))];
    return letters;
}
}  // namespace

QString ErrorText(int code)
{
    if (code == NotRegularFile)
        return QStringLiteral("not a regular file");
    if (code == EFBIG) {
        rlimit limit{};
        if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            return QStringLiteral("file too large for this account's file-size limit (%1 bytes)").arg(quint64(limit.rlim_cur));
        return QStringLiteral("file too large for its file system");
    }
    return QString::fromLocal8Bit(std::strerror(code));
}

bool IsDiskFull(int code)
{
    return code == ENOSPC || code == EDQUOT;
}

int Stat(const QString& path, FileStatus& status, bool followLinks)
{
    struct stat info {};
    const QByteArray native = Native(path);
    if ((followLinks ? ::stat(native.constData(), &info) : ::lstat(native.constData(), &info)) != 0) {
        status = FileStatus();
        return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
    }
    status = StatusOf(info);
    return 0;
}

bool MayReplace(const FileStatus& status, const FileStatus& folder)
{
    const uid_t me = ::geteuid();
    if (status.kind == FileStatus::Missing || me == 0 || !(folder.mode & S_ISVTX))
        return true;
    return status.owner == me || folder.owner == me;
}

bool MayFollow(const FileStatus& link, const FileStatus& folder)
{
    if ((folder.mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH))
        return true;
    return link.owner == ::geteuid() || link.owner == folder.owner;
}

QString OwnerName(uint owner)
{
    passwd entry{}, *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid_t(owner), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("user %1").arg(owner);
}

bool CanWriteIn(const QString& folder)
{
    return WriteAccess(folder) == 0;
}

int WriteAccess(const QString& folder)
{
    return ::access(Native(folder).constData(), W_OK | X_OK) == 0 ? 0 : errno;
}

// --------------------------------------------------------------------------- File

File::~File()
{
    Close();
}

File::File(File&& other) noexcept : m_handle(other.m_handle)
{
    other.m_handle = Invalid;
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        Close();
        m_handle = other.m_handle;
        other.m_handle = Invalid;
    }
    return *this;
}

void File::Close()
{
    if (m_handle != Invalid)
        ::close(Fd(m_handle));
    m_handle = Invalid;
}

qint64 File::Read(char* data, qint64 size)
{
    for (;;) {
        const ssize_t n = ::read(Fd(m_handle), data, size_t(size));
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

qint64 File::ReadAt(char* data, qint64 size, qint64 offset)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(Fd(m_handle), data + done, size_t(size - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

bool File::Write(const char* data, qint64 size)
{
    while (size > 0) {
        errno = 0;
        const ssize_t n = ::write(Fd(m_handle), data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            errno = errno ? errno : EIO;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

bool File::WriteAt(const char* data, qint64 size, qint64 offset)
{
    for (qint64 done = 0; done < size;) {
        errno = 0;
        const ssize_t n = ::pwrite(Fd(m_handle), data + done, size_t(size - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            errno = errno ? errno : EIO;
            return false;
        }
        done += n;
    }
    return true;
}

int File::Sync()
{
    return ::fsync(Fd(m_handle)) == 0 ? 0 : errno;
}

void File::StartWriteback(qint64 offset, qint64 length)
{
#ifdef __linux__
    ::sync_file_range(Fd(m_handle), offset, length, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(offset), Q_UNUSED(length);
#endif
}

int File::SetModified(time_t modified)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, {modified, 0}};
    return ::futimens(Fd(m_handle), times) == 0 ? 0 : errno;
}

int File::Status(FileStatus& status) const
{
    struct stat info {};
    if (::fstat(Fd(m_handle), &info) != 0)
        return errno;
    status = StatusOf(info);
    return 0;
}

File OpenForReading(const QString& path, int& error, FileStatus* status)
{
    error = Probed(Call::OpenForReading, path);
    if (error)
        return File();
    // Non-blocking, so that opening a pipe with no writer cannot hang; then
    // only a regular file is kept (where non-blocking changes nothing).
    File file(::open(Native(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.IsOpen()) {
        error = errno;
        return file;
    }
    FileStatus own;
    if (file.Status(status ? *status : own) != 0 || (status ? *status : own).kind != FileStatus::Regular) {
        error = NotRegularFile;
        return File();
    }
    return file;
}

File OpenForUpdate(const QString& path, int& error)
{
    File file(::open(Native(path).constData(), O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    error = file.IsOpen() ? 0 : errno;
    FileStatus status;
    if (file.IsOpen() && (file.Status(status) != 0 || status.kind != FileStatus::Regular)) {
        error = NotRegularFile;
        return File();
    }
    return file;
}

File CreateNew(const QString& path, int& error)
{
    File file(::open(Native(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    error = file.IsOpen() ? 0 : errno;
    return file;
}

// --------------------------------------------------------------------------- folders

int MakeFolder(const QString& path)
{
    return ::mkdir(Native(path).constData(), 0777) == 0 ? 0 : errno;
}

int MakePrivateFolder(const QString& path)
{
    const QByteArray native = Native(path);
    if (::mkdir(native.constData(), 0700) != 0)
        return errno;
    // The umask may have taken bits of this user's own: 0700 as made.
    return ::chmod(native.constData(), 0700) == 0 ? 0 : errno;
}

QString MakeUniqueFolder(const QString& parent, const QByteArray& stem, int& error)
{
    QByteArray pattern = Native(parent) + '/' + stem + "XXXXXX";
    if (!::mkdtemp(pattern.data())) {  // mode 0700, less the umask
        error = errno;
        return {};
    }
    error = ::chmod(pattern.constData(), 0700) == 0 ? 0 : errno;
    if (error) {
        ::rmdir(pattern.constData());
        return {};
    }
    return QFile::decodeName(pattern);
}

Privacy FolderPrivacy(const QString& path)
{
    struct stat info {};
    if (::lstat(Native(path).constData(), &info) != 0)
        return Privacy::Unknown;
    if (S_ISLNK(info.st_mode))
        return Privacy::Link;
    if (!S_ISDIR(info.st_mode))
        return Privacy::NotFolder;
    if (info.st_uid != ::getuid())
        return Privacy::OthersOwn;
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return Privacy::OpenToOthers;
    return Privacy::Private;
}

QString UserTag()
{
    return QString::number(::getuid());
}

QString TemporaryVariable(QString& value)
{
    value = qEnvironmentVariable("TMPDIR");
    return QStringLiteral("TMPDIR");
}

Folder Folder::Open(const QString& path, bool refuseLinks, int& error)
{
    Folder folder;
    const int fd = ::open(Native(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (refuseLinks ? O_NOFOLLOW : 0));
    error = fd >= 0 ? 0 : errno;
    if (fd >= 0) {
        folder.m_handle = fd;
        folder.m_path = path;
    }
    return folder;
}

Folder::~Folder()
{
    if (m_handle != Invalid)
        ::close(Fd(m_handle));
}

Folder::Folder(Folder&& other) noexcept : m_handle(other.m_handle), m_path(std::move(other.m_path))
{
    other.m_handle = Invalid;
}

Folder& Folder::operator=(Folder&& other) noexcept
{
    if (this != &other) {
        if (m_handle != Invalid)
            ::close(Fd(m_handle));
        m_handle = other.m_handle;
        m_path = std::move(other.m_path);
        other.m_handle = Invalid;
    }
    return *this;
}

bool Folder::Mine() const
{
    struct stat info {};
    return ::fstat(Fd(m_handle), &info) == 0 && info.st_uid == ::getuid();
}

int Folder::Status(const QString& name, FileStatus& status) const
{
    struct stat info {};
    if (::fstatat(Fd(m_handle), Native(name).constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        status = FileStatus();
        return errno == ENOENT ? 0 : errno;
    }
    status = StatusOf(info);
    return 0;
}

File Folder::CreateTemporary(const QByteArray& stem, QString& name, int& error)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray candidate = stem + RandomLetters();
        File file(::openat(Fd(m_handle), candidate.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (file.IsOpen() || errno != EEXIST) {
            error = file.IsOpen() ? 0 : errno;
            name = QFile::decodeName(candidate);
            return file;
        }
    }
    error = EEXIST;
    return File();
}

int Folder::Remove(const QString& name)
{
    return ::unlinkat(Fd(m_handle), Native(name).constData(), 0) == 0 ? 0 : errno;
}

void Folder::RemoveFiles()
{
    const int fd = ::dup(Fd(m_handle));
    DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!listing) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    ::rewinddir(listing);
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            ::unlinkat(Fd(m_handle), entry->d_name, 0);  // fails, harmlessly, for a folder
    }
    ::closedir(listing);
}

int Folder::MoveWithoutReplacing(const QString& from, const QString& to)
{
    if (const int injected = Probed(Call::Rename, m_path + u'/' + from, m_path + u'/' + to))
        return injected;
    const QByteArray source = Native(from), target = Native(to);
#ifdef RENAME_NOREPLACE
    if (::renameat2(Fd(m_handle), source.constData(), Fd(m_handle), target.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
#endif
    // A file system without it: a new link fails where the name is taken.
    if (::linkat(Fd(m_handle), source.constData(), Fd(m_handle), target.constData(), 0) != 0)
        return errno;
    ::unlinkat(Fd(m_handle), source.constData(), 0);
    return 0;
}

#ifdef O_TMPFILE
// This process's open files as a folder, opened once (-1 without /proc): an
// unnamed file is named by linking its number there where linking the
// descriptor itself is refused. One lookup per link instead of four.
namespace {
int OpenFiles()
{
    static const int folder = ::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return folder;
}
// Linking the descriptor itself saves even that lookup. Older kernels allow
// it only with a privilege (and say ENOENT without it), newer ones to whoever
// opened the file; it is tried until the other way works where it failed.
std::atomic<bool> linkDescriptor{true};
}  // namespace
#endif

File Folder::CreateUnnamed(int& error)
{
#ifdef O_TMPFILE
    if (OpenFiles() >= 0) {
        File file(::openat(Fd(m_handle), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
        error = file.IsOpen() ? 0 : errno;
        // An older kernel takes the flag for O_DIRECTORY; some file systems refuse it.
        if (error == EISDIR || error == EOPNOTSUPP || error == EINVAL)
            error = ENOTSUP;
        return file;
    }
#endif
    error = ENOTSUP;
    return File();
}

int Folder::Link(const File& file, const QString& to)
{
    if (const int injected = Probed(Call::Rename, m_path + QStringLiteral("/(unnamed)"), m_path + u'/' + to))
        return injected;
#ifdef O_TMPFILE
    if (OpenFiles() >= 0) {
        const QByteArray target = Native(to);
        const bool byDescriptor = linkDescriptor.load(std::memory_order_relaxed);
        if (byDescriptor) {
            if (::linkat(Fd(file.m_handle), "", Fd(m_handle), target.constData(), AT_EMPTY_PATH) == 0)
                return 0;
            if (errno != ENOENT && errno != EPERM)
                return errno;
        }
        const QByteArray number = QByteArray::number(Fd(file.m_handle));
        if (::linkat(OpenFiles(), number.constData(), Fd(m_handle), target.constData(), AT_SYMLINK_FOLLOW) != 0)
            return errno;
        if (byDescriptor)  // refused where this worked: not tried again
            linkDescriptor.store(false, std::memory_order_relaxed);
        return 0;
    }
#endif
    return ENOTSUP;
}

Folder Folder::MakeUnique(const QByteArray& stem, QString& name, int& error)
{
    Folder made;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray candidate = stem + RandomLetters();
        if (::mkdirat(Fd(m_handle), candidate.constData(), 0700) != 0) {
            error = errno;
            if (error == EEXIST)
                continue;
            return made;
        }
        name = QFile::decodeName(candidate);
        const int fd = ::openat(Fd(m_handle), candidate.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        // The umask may have taken bits of this user's own: 0700 as made.
        error = fd < 0 ? errno : ::fchmod(fd, 0700) == 0 ? 0 : errno;
        if (error) {
            if (fd >= 0)
                ::close(fd);
            ::unlinkat(Fd(m_handle), candidate.constData(), AT_REMOVEDIR);
            return made;
        }
        made.m_handle = fd;
        made.m_path = m_path + u'/' + name;
        return made;
    }
    return made;
}

int Folder::RemoveFolder(const QString& name)
{
    return ::unlinkat(Fd(m_handle), Native(name).constData(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

int Folder::Sync()
{
    if (const int injected = Probed(Call::SyncFolder, m_path))
        return injected;
    return ::fsync(Fd(m_handle)) == 0 ? 0 : errno;
}

qint64 Folder::FreeSpace() const
{
    struct statvfs space {};
    if (::fstatvfs(Fd(m_handle), &space) != 0)
        return -1;
    return qint64(space.f_bavail) * qint64(space.f_frsize);
}

QStringList Folder::Names() const
{
    QStringList names;
    const int fd = ::dup(Fd(m_handle));
    DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!listing) {
        if (fd >= 0)
            ::close(fd);
        return names;
    }
    ::rewinddir(listing);
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names << QFile::decodeName(entry->d_name);
    }
    ::closedir(listing);
    return names;
}

int RemoveFolder(const QString& path)
{
    return ::rmdir(Native(path).constData()) == 0 ? 0 : errno;
}

QList<QByteArray> UndecodableNames(const QString& folder)
{
    QList<QByteArray> names;
    if (DIR* listing = ::opendir(Native(folder).constData())) {
        while (const dirent* entry = ::readdir(listing)) {
            const QByteArray name(entry->d_name);
            struct stat status {};
            if (QFile::encodeName(QFile::decodeName(name)) != name &&
                ::fstatat(::dirfd(listing), name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(status.st_mode))
                names << name;
        }
        ::closedir(listing);
    }
    return names;
}

int RenameUndecodable(const QString& folder, const QByteArray& from, const QString& to)
{
    const int fd = ::open(Native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const QByteArray target = Native(to);
    int result = 0;
#ifdef RENAME_NOREPLACE
    if (::renameat2(fd, from.constData(), fd, target.constData(), RENAME_NOREPLACE) != 0)
        result = errno;
    if (result == EINVAL || result == ENOSYS)
#endif
    {
        result = ::linkat(fd, from.constData(), fd, target.constData(), 0) == 0 ? 0 : errno;
        if (result == 0)
            ::unlinkat(fd, from.constData(), 0);
    }
    ::close(fd);
    return result;
}

// --------------------------------------------------------------------------- durable replace

int SyncFile(const QString& path)
{
    if (const int injected = Probed(Call::SyncFile, path))
        return injected;
    return Flush(Native(path), O_RDONLY);
}

int SyncAll(const QString& folder, const QList<QString>& files)
{
    if (const int injected = Probed(Call::SyncAll, folder))
        return injected;
#ifdef __linux__
    // One flush of the file system: far cheaper than one per file when many
    // small files were written.
    const int fd = ::open(Native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        const int result = ::syncfs(fd) == 0 ? 0 : errno;
        ::close(fd);
        return result;
    }
#endif
    for (const QString& file : files) {
        if (const int failed = Flush(Native(file), O_RDONLY))
            return failed;
    }
    return 0;
}

int SyncFolder(const QString& folder)
{
    if (const int injected = Probed(Call::SyncFolder, folder))
        return injected;
    return Flush(Native(folder), O_RDONLY | O_DIRECTORY);
}

int Replace(const QString& from, const QString& to)
{
    if (const int injected = Probed(Call::Rename, from, to))
        return injected;
    return ::rename(Native(from).constData(), Native(to).constData()) == 0 ? 0 : errno;
}

int TakeOver(const QString& path, const QString&, const FileStatus& old)
{
    const QByteArray native = Native(path);
    // The group, and for root the owner too; where that is not allowed, the
    // file stays this user's, and its bits are no more open than before.
    const uid_t owner = ::geteuid() == 0 ? uid_t(old.owner) : uid_t(-1);
    if (::chown(native.constData(), owner, gid_t(old.group)) != 0 && errno != EPERM)
        return errno;
    return ::chmod(native.constData(), mode_t(old.mode & 0777)) == 0 ? 0 : errno;
}

// --------------------------------------------------------------------------- processes

bool ProcessRuns(qint64 pid)
{
    if (pid <= 0 || pid != qint64(pid_t(pid)))
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

QString ProgramFile(const QString& path)
{
    return path;
}

void PrepareChild(QProcess& process)
{
    // A session of its own: no terminal to ask questions on, and a Ctrl+C meant
    // for this program does not reach it. If this program dies, it is told to
    // stop too, and cleans up its temporary file.
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        ::setsid();
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        if (::getppid() != parent)
            ::_exit(127);
    });
}

void ChildStarted(QProcess&)
{
}

void StopChild(QProcess& process, int graceMs)
{
    process.terminate();
    if (!process.waitForFinished(graceMs)) {
        process.kill();
        process.waitForFinished(-1);
    }
}

// --------------------------------------------------------------------------- interrupts and the console

namespace {
std::atomic<int>* caughtInto = nullptr;
int interruptPipe[2] = {-1, -1};

void OnInterrupt(int signal)
{
    const int saved = errno;
    int none = 0;
    caughtInto->compare_exchange_strong(none, signal);  // the first one decides
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(interruptPipe[1], &byte, 1);
    errno = saved;
}

termios savedTerminal{};

void RestoreTerminalAndDie(int signal)
{
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}
}  // namespace

void CatchInterrupts(std::atomic<int>& caught, std::function<void()> onMainThread)
{
    if (interruptPipe[0] >= 0 || ::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    caughtInto = &caught;
    // A self-pipe: the handler only writes a byte; the main thread's event
    // loop reads it and runs what ending the program takes.
    auto* notifier = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [onMainThread = std::move(onMainThread)] {
        char bytes[16];
        [[maybe_unused]] const ssize_t ignored = ::read(interruptPipe[0], bytes, sizeof bytes);
        onMainThread();
    });
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

void Ended()
{
}

void ErrorsNotSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void WriteTextToConsole(QTextStream&, FILE*)
{
    // A terminal takes UTF-8 bytes as they are.
}

bool InputIsTerminal()
{
    return ::isatty(STDIN_FILENO);
}

bool ErrorIsTerminal()
{
    return ::isatty(STDERR_FILENO);
}

QString ReadHidden(const char* question)
{
    const bool terminal = ::tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
    constexpr int Signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction previous[std::size(Signals)] {};
    if (terminal) {
        struct sigaction restore {};
        restore.sa_handler = RestoreTerminalAndDie;
        sigemptyset(&restore.sa_mask);
        for (size_t i = 0; i < std::size(Signals); ++i)
            ::sigaction(Signals[i], &restore, &previous[i]);
        termios quiet = savedTerminal;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    // Asked only once nothing typed can show any more.
    std::fputs(question, stderr);
    std::fflush(stderr);
    std::string line;
    std::getline(std::cin, line);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
        for (size_t i = 0; i < std::size(Signals); ++i)
            ::sigaction(Signals[i], &previous[i], nullptr);
    }
    std::fputs("\n", stderr);
    return QString::fromLocal8Bit(line);
}

QList<QByteArray> InexactArguments(int argc, char** argv)
{
    QList<QByteArray> inexact;
    for (int i = 1; i < argc; ++i) {
        const QByteArray raw(argv[i]);
        if (QFile::encodeName(QFile::decodeName(raw)) != raw)
            inexact << raw;
    }
    return inexact;
}

// --------------------------------------------------------------------------- the rest

bool LocalTime(time_t moment, std::tm& local)
{
    return ::localtime_r(&moment, &local) != nullptr;
}

int RaiseOpenFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return int(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
}

void KeepFreedMemory()
{
#ifdef __linux__
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
#endif
}

EntryMarks NewEntryMarks()
{
    // Unix, ZIP 3.0; a regular file with the mode any new file gets: 0666
    // less the umask, read without changing it.
    mode_t mode = 0644;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:"))
                mode = 0666 & ~mode_t(line.mid(6).trimmed().toUInt(nullptr, 8));
        }
    }
    return EntryMarks{0x031E, quint32(S_IFREG | mode) << 16};
}

}  // namespace platform
