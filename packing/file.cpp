#include "file.h"

#include "base/RuntimeError.h"
#include "base/text.h"
#include "platform/platform.h"

#include <QDir>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

namespace file {
namespace {
namespace fs = std::filesystem;

QString Failure(int number)
{
    return QStringLiteral("E:%1:%2").arg(number).arg(err::Description(number));
}

// As the system takes it: UTF-8 bytes on POSIX, UTF-16 on Windows.
fs::path NativePath(const QString& path)
{
    return fs::path(path.toStdU16String());
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
    if (const int failed = platform::MakeFolder(path)) {
        const int number = err::NumberOfErrno(failed);
        return number == err::FileExists ? QString() : Failure(number);
    }
    return QStringLiteral("S:");
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

QStringList UnreachableNames(const QString& folder, const QStringList& names)
{
    QStringList unreachable;
    for (const QString& name : names) {
        platform::FileStatus status;
        if (name.contains(QChar::ReplacementCharacter) && platform::Stat(folder + u'/' + name, status) == 0 &&
            status.kind == platform::FileStatus::Missing)
            unreachable << name;
    }
    if (unreachable.isEmpty())
        return unreachable;
    // Find the bytes behind the changed names, to show them as Thai.
    for (const QByteArray& bytes : platform::UndecodableNames(folder)) {
        const qsizetype at = unreachable.indexOf(QString::fromUtf8(bytes));
        if (at >= 0)
            unreachable[at] = text::FromAnsi(bytes);
    }
    return unreachable;
}

QList<UnreadableFile> UnreadableFiles(const QString& folder)
{
    QList<UnreadableFile> files;
    for (const QByteArray& bytes : platform::UndecodableNames(folder)) {
        const QString thai = text::FromAnsi(bytes);
        const bool readable = !thai.contains(QChar::ReplacementCharacter) && !text::HasControl(thai);
        files << UnreadableFile{bytes, readable ? thai : text::PrintableBytes(bytes), readable ? thai : QString()};
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.shown < b.shown; });
    return files;
}

int RenameToReadable(const QString& folder, const UnreadableFile& file)
{
    return platform::RenameUndecodable(folder, file.bytes, file.readable);
}

TemporaryCheck CheckTemporaryFolder()
{
    TemporaryCheck check;
    check.variable = platform::TemporaryVariable(check.value);
    // Empty when the folder is missing: Qt gives the canonical path.
    check.folder = QDir::tempPath();
    platform::FileStatus status;
    if (check.folder.isEmpty() || platform::Stat(check.folder, status) != 0 || status.kind != platform::FileStatus::Folder) {
        check.issue = err::Reason::TemporaryMissing;
        if (check.folder.isEmpty())
            check.folder = check.value;
        return check;
    }
    if (const int failed = platform::WriteAccess(check.folder))
        check.issue = failed == EROFS ? err::Reason::TemporaryReadOnly : err::Reason::TemporaryLocked;
    return check;
}

QString WorkArea()
{
    const TemporaryCheck temporary = CheckTemporaryFolder();
    if (temporary.issue != err::Reason::None) {
        const int number = temporary.issue == err::Reason::TemporaryMissing ? err::PathNotFound : err::PermissionDenied;
        const QString variable = temporary.value.isEmpty() ? QStringLiteral("the temporary folder") : temporary.variable;
        throw RuntimeError::For(number, temporary.issue, {variable}, temporary.folder);
    }
    const QString path = temporary.folder + QStringLiteral("/quillfold-") + platform::UserTag();
    if (const int failed = platform::MakePrivateFolder(path); failed && failed != EEXIST)
        throw RuntimeError::Because(err::NumberOfErrno(failed), platform::ErrorText(failed), path);
    QString why;
    switch (platform::FolderPrivacy(path)) {
    case platform::Privacy::Private: return path;
    case platform::Privacy::Link: why = QStringLiteral("is a symbolic link"); break;
    case platform::Privacy::NotFolder: why = QStringLiteral("is not a folder"); break;
    case platform::Privacy::OthersOwn: why = QLatin1String(OtherUsersWorkArea); break;
    case platform::Privacy::OpenToOthers: why = QStringLiteral("can be changed by other users"); break;
    case platform::Privacy::Unknown: why = QStringLiteral("cannot be looked at"); break;
    }
    throw RuntimeError::Detailed(err::PermissionDenied, QStringLiteral("the work area %1").arg(why), path);
}

}  // namespace file
