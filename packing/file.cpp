#include "file.h"

#include "RuntimeError.h"

#include <QFile>

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>

namespace file {
namespace {
namespace fs = std::filesystem;

int NumberOfErrno(int code)
{
    switch (code) {
    case EEXIST: return err::FileExists;
    case ENOENT:
    case ENOTDIR: return err::PathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return err::PermissionDenied;
    default: return err::PathFileAccess;
    }
}

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
}  // namespace

QString CreateFolderPath(const QString& path)
{
    if (path.isEmpty())
        return Failure(err::InvalidCall);
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0)
        return QStringLiteral("S:");
    const int number = NumberOfErrno(errno);
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
        return failed(NumberOfErrno(error.value()));
    fs::remove_all(folder, error);
    return error ? failed(NumberOfErrno(error.value())) : QStringLiteral("S:");
}

}  // namespace file
