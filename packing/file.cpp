#include "file.h"

#include "RuntimeError.h"
#include "text.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QRandomGenerator>
#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUtf8StringView>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace file {
namespace {
namespace fs = std::filesystem;

QString Failure(int number)
{
    return QStringLiteral("E:%1:%2").arg(number).arg(err::Description(number));
}

fs::path NativePath(const QString& path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

bool IsReadOnly(const fs::directory_entry& entry)
{
    std::error_code ignored;
    if (!entry.is_regular_file(ignored) || entry.is_symlink(ignored))
        return false;
    const auto perms = entry.status(ignored).permissions();
    return (perms & (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write)) == fs::perms::none;
}
// This machine's name as it may appear in a file name.
QString HostTag()
{
    QString host = QSysInfo::machineHostName().left(64);
    for (QChar& c : host) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'.' && c != u'-')
            c = u'_';
    }
    return host.isEmpty() ? QStringLiteral("host") : host;
}

[[noreturn]] void NotPrivate(const QString& path, const QString& why)
{
    throw RuntimeError::Detailed(err::PermissionDenied, QStringLiteral("the work area %1").arg(why), path);
}
}  // namespace

QString CreateFolderPath(const QString& path)
{
    if (path.isEmpty())
        return Failure(err::InvalidCall);
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0)
        return QStringLiteral("S:");
    const int number = err::NumberOfErrno(errno);
    return number == err::FileExists ? QString() : Failure(number);
}

QString DeleteFolderPath(const QString& path)
{
    const auto failed = [&](int number) { return Failure(number) + u':' + path; };
    if (path.isEmpty())
        return failed(err::InvalidCall);
    const fs::path folder = NativePath(path);
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(folder, error)))
        return failed(err::PathNotFound);

    // Look first, so that a refusal leaves the folder whole.
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (IsReadOnly(*it))
            return failed(err::PermissionDenied);
    }
    if (error)
        return failed(err::NumberOfErrno(error.value()));
    fs::remove_all(folder, error);
    return error ? failed(err::NumberOfErrno(error.value())) : QStringLiteral("S:");
}

QByteArray Native(const QString& path)
{
    return QFile::encodeName(path);
}

int CreateTemporary(int folder, const QByteArray& prefix, QByteArray& name, const QByteArray& stem)
{
    static constexpr char Letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = prefix + stem;
        for (int i = 0; i < 6; ++i)
            name += Letters[QRandomGenerator::system()->bounded(int(sizeof Letters - 1))];
        const int fd = ::openat(folder, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;  // errno is EEXIST
}

QStringList UnreachableNames(const QString& folder, const QStringList& names)
{
    QStringList unreachable;
    for (const QString& name : names) {
        const QString path = folder + u'/' + name;
        struct stat info {};
        if (path.contains(QChar::ReplacementCharacter) && ::stat(Native(path).constData(), &info) != 0)
            unreachable << name;
    }
    if (unreachable.isEmpty())
        return unreachable;
    // Find the bytes behind the changed names, to show them as Thai.
    if (DIR* listing = ::opendir(Native(folder).constData())) {
        while (const dirent* entry = ::readdir(listing)) {
            const QByteArray bytes(entry->d_name);
            const qsizetype at = unreachable.indexOf(QFile::decodeName(bytes));
            if (at >= 0 && !QUtf8StringView(bytes).isValidUtf8())
                unreachable[at] = text::FromAnsi(bytes);
        }
        ::closedir(listing);
    }
    return unreachable;
}

QString WorkArea()
{
    const uid_t user = ::getuid();
    const QString path = QDir::tempPath() + QStringLiteral("/quillfold-%1").arg(user);
    if (::mkdir(Native(path).constData(), 0700) != 0 && errno != EEXIST)
        throw RuntimeError(err::NumberOfErrno(errno), path);
    struct stat info {};
    if (::lstat(Native(path).constData(), &info) != 0)
        throw RuntimeError(err::NumberOfErrno(errno), path);
    if (S_ISLNK(info.st_mode))
        NotPrivate(path, QStringLiteral("is a symbolic link"));
    if (!S_ISDIR(info.st_mode))
        NotPrivate(path, QStringLiteral("is not a folder"));
    if (info.st_uid != user)
        NotPrivate(path, QStringLiteral("%1 (%2)").arg(QLatin1String(OtherUsersWorkArea)).arg(info.st_uid));
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        NotPrivate(path, QStringLiteral("can be changed by other users"));
    return path;
}

QByteArray RunStem(const QString& prefix)
{
    return Native(QStringLiteral("%1-%2-%3-").arg(prefix, HostTag()).arg(QCoreApplication::applicationPid()));
}

QString MakeRunFolder(const QString& parent, const QString& prefix)
{
    QByteArray pattern = Native(parent) + '/' + RunStem(prefix) + "XXXXXX";
    if (!::mkdtemp(pattern.data()))  // mode 0700
        throw RuntimeError(err::NumberOfErrno(errno), parent);
    return QFile::decodeName(pattern);
}

void RemoveLeftovers(const QString& parent, const QString& prefix)
{
    const QRegularExpression name(QStringLiteral("^%1-%2-(\\d{1,10})-[A-Za-z0-9]{6}$")
                                      .arg(QRegularExpression::escape(prefix), QRegularExpression::escape(HostTag())));
    DIR* folder = ::opendir(Native(parent).constData());
    if (!folder)
        return;
    QStringList over;
    while (const dirent* entry = ::readdir(folder)) {
        const QRegularExpressionMatch match = name.match(QFile::decodeName(entry->d_name));
        if (!match.hasMatch() || platform::ProcessRuns(match.captured(1).toLongLong()))
            continue;
        const QString path = parent + u'/' + QFile::decodeName(entry->d_name);
        struct stat info {};
        if (::lstat(Native(path).constData(), &info) != 0 || info.st_uid != ::getuid())
            continue;
        if (S_ISDIR(info.st_mode))
            over << path;
        else if (S_ISREG(info.st_mode))
            ::unlinkat(::dirfd(folder), entry->d_name, 0);
    }
    ::closedir(folder);
    for (const QString& path : over)
        RemoveRunFolder(path);
}

void RemoveRunFolder(const QString& path)
{
    if (path.isEmpty())
        return;
    // Through the folder itself, never through a link put in its place.
    const int opened = ::open(Native(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (opened >= 0 && (::fstat(opened, &info) != 0 || info.st_uid != ::getuid())) {
        ::close(opened);
        return;
    }
    DIR* folder = opened >= 0 ? ::fdopendir(opened) : nullptr;
    if (!folder && opened >= 0)
        ::close(opened);
    if (folder) {
        const int fd = ::dirfd(folder);
        while (const dirent* entry = ::readdir(folder)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                ::unlinkat(fd, entry->d_name, 0);  // fails, harmlessly, for a folder
        }
        ::closedir(folder);
    }
    ::rmdir(Native(path).constData());
}

}  // namespace file
