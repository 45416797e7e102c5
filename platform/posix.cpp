// The platform's calls on Linux and other POSIX systems.
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {
QByteArray Native(const QString& path)
{
    return QFile::encodeName(path);
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
    return status;
}

// Opens and flushes a file or a folder; 0 or the errno.
int Flush(const QString& path, int flags)
{
    const int fd = ::open(Native(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}
}  // namespace

QString ErrorText(int code)
{
    if (code == NotRegularFile)
        return QStringLiteral("not a regular file");
    return QString::fromLocal8Bit(std::strerror(code));
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

QString FinalTarget(const QString& path)
{
    QString current = path;
    for (int hops = 0; hops < 40; ++hops) {  // as the system's own limit on chains
        const QFileInfo link(current);
        if (!link.isSymLink())
            return current;
        const QString target = link.symLinkTarget();
        if (target.isEmpty())
            return current;
        current = target;
    }
    return current;
}

bool MayReplace(const FileStatus& status, const FileStatus& folder)
{
    const uid_t me = ::geteuid();
    if (status.kind == FileStatus::Missing || me == 0 || !(folder.mode & S_ISVTX))
        return true;
    return status.owner == me || folder.owner == me;
}

int OpenForReading(const QString& path, int& error, FileStatus* status)
{
    error = Probed(Call::OpenForReading, path);
    if (error)
        return -1;
    // Non-blocking, so that opening a pipe with no writer cannot hang; then
    // only a regular file is kept (where non-blocking changes nothing).
    const int fd = ::open(Native(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        error = NotRegularFile;
        return -1;
    }
    if (status)
        *status = StatusOf(info);
    return fd;
}

void StartWriteback(int fd, qint64 offset, qint64 length)
{
#ifdef __linux__
    ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(fd), Q_UNUSED(offset), Q_UNUSED(length);
#endif
}

int SyncFile(const QString& path)
{
    if (const int injected = Probed(Call::SyncFile, path))
        return injected;
    return Flush(path, O_RDONLY);
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
        if (const int failed = Flush(file, O_RDONLY))
            return failed;
    }
    return 0;
}

int SyncFolder(const QString& folder)
{
    if (const int injected = Probed(Call::SyncFolder, folder))
        return injected;
    return Flush(folder, O_RDONLY | O_DIRECTORY);
}

int Replace(const QString& from, const QString& to)
{
    if (const int injected = Probed(Call::Rename, from, to))
        return injected;
    return ::rename(Native(from).constData(), Native(to).constData()) == 0 ? 0 : errno;
}

int MoveWithoutReplacing(int folder, const QString& folderPath, const QByteArray& from, const QByteArray& to)
{
    if (const int injected =
            Probed(Call::Rename, folderPath + u'/' + QFile::decodeName(from), folderPath + u'/' + QFile::decodeName(to)))
        return injected;
#ifdef RENAME_NOREPLACE
    if (::renameat2(folder, from.constData(), folder, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
#endif
    // A file system without it: a new link fails where the name is taken.
    if (::linkat(folder, from.constData(), folder, to.constData(), 0) != 0)
        return errno;
    ::unlinkat(folder, from.constData(), 0);
    return 0;
}

int TakeOver(const QString& path, const FileStatus& old)
{
    const QByteArray native = Native(path);
    // The group, and for root the owner too; where that is not allowed, the
    // file stays this user's, and its bits are no more open than before.
    const uid_t owner = ::geteuid() == 0 ? uid_t(old.owner) : uid_t(-1);
    if (::chown(native.constData(), owner, gid_t(old.group)) != 0 && errno != EPERM)
        return errno;
    return ::chmod(native.constData(), mode_t(old.mode & 0777)) == 0 ? 0 : errno;
}

int SetModified(int fd, time_t modified)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, {modified, 0}};
    return ::futimens(fd, times) == 0 ? 0 : errno;
}

bool LocalTime(time_t moment, std::tm& local)
{
    return ::localtime_r(&moment, &local) != nullptr;
}

bool ProcessRuns(qint64 pid)
{
    if (pid <= 0 || pid != qint64(pid_t(pid)))
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
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

}  // namespace platform
