// The platform's calls on Windows: wide-character paths everywhere, the
// system's errors mapped onto errno codes.
#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTextStream>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>
#include <aclapi.h>

namespace platform {
namespace {
// A path as the wide calls take it, with "\" and, where it is long, the prefix
// that lifts the old limit of 260 characters.
std::wstring Wide(const QString& path)
{
    QString native = QDir::toNativeSeparators(path);
    if (native.size() >= MAX_PATH - 12 && !native.startsWith(QStringLiteral("\\\\?\\"))) {
        if (native.startsWith(QStringLiteral("\\\\")))
            native = QStringLiteral("\\\\?\\UNC\\") + native.mid(2);
        else if (native.size() > 2 && native.at(1) == u':')
            native = QStringLiteral("\\\\?\\") + native;
    }
    return native.toStdWString();
}

HANDLE Handle(intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

intptr_t Stored(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(handle);
}

// The system's error as an errno code.
int FromWindows(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED: return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_INVALID_NAME: return EINVAL;
    case ERROR_CANT_ACCESS_FILE:
    case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
    default: return EIO;
    }
}

int LastError()
{
    return FromWindows(::GetLastError());
}

time_t TimeOf(const FILETIME& time)
{
    const quint64 ticks = (quint64(time.dwHighDateTime) << 32) | time.dwLowDateTime;  // 100 ns since 1601
    return time_t(ticks / 10000000ULL) - time_t(11644473600LL);
}

FileStatus StatusOf(HANDLE handle, bool followed)
{
    FileStatus status;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        status.kind = FileStatus::Other;
        return status;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !followed)
        status.kind = FileStatus::Link;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        status.kind = FileStatus::Folder;
    else if (::GetFileType(handle) == FILE_TYPE_DISK)
        status.kind = FileStatus::Regular;
    else
        status.kind = FileStatus::Other;
    status.size = qint64((quint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    status.modified = TimeOf(info.ftLastWriteTime);
    status.device = info.dwVolumeSerialNumber;
    status.id = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    status.mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    return status;
}

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenPath(const QString& path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    return ::CreateFileW(Wide(path).c_str(), access, share, nullptr, disposition, flags, nullptr);
}

QByteArray RandomLetters()
{
    static constexpr char Letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray letters;
    for (int i = 0; i < 6; ++i)
        letters += Letters[QRandomGenerator::system()->bounded(int(sizeof Letters - 1))];
    return letters;
}

// Flushes a file named by its path; 0 or the errno.
int FlushPath(const QString& path)
{
    const HANDLE file = OpenPath(path, GENERIC_WRITE, ShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE)
        return LastError();
    const int result = ::FlushFileBuffers(file) ? 0 : LastError();
    ::CloseHandle(file);
    return result;
}
}  // namespace

QString ErrorText(int code)
{
    if (code == NotRegularFile)
        return QStringLiteral("not a regular file");
    if (code == EFBIG)
        return QStringLiteral("file too large for its file system");
    return QString::fromLocal8Bit(std::strerror(code));
}

bool IsDiskFull(int code)
{
    return code == ENOSPC;
}

int Stat(const QString& path, FileStatus& status, bool followLinks)
{
    status = FileStatus();
    const HANDLE file = OpenPath(path, FILE_READ_ATTRIBUTES, ShareAll, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT));
    if (file == INVALID_HANDLE_VALUE) {
        const int error = LastError();
        return error == ENOENT ? 0 : error;
    }
    status = StatusOf(file, followLinks);
    ::CloseHandle(file);
    return 0;
}

bool MayReplace(const FileStatus&, const FileStatus&)
{
    return true;
}

bool MayFollow(const FileStatus&, const FileStatus&)
{
    return true;  // Windows has no sticky folders: a link is followed wherever it is
}

QString OwnerName(uint)
{
    return {};
}

bool CanWriteIn(const QString& folder)
{
    return WriteAccess(folder) == 0;
}

int WriteAccess(const QString& folder)
{
    // The only sure answer: make a file there, which goes when it is closed.
    const QString probe = folder + QStringLiteral("/.quillfold-probe-") + QString::fromLatin1(RandomLetters());
    const HANDLE file = OpenPath(probe, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_WRITE_PROTECT ? EROFS : FromWindows(error);
    }
    ::CloseHandle(file);
    return 0;
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
        ::CloseHandle(Handle(m_handle));
    m_handle = Invalid;
}

qint64 File::Read(char* data, qint64 size)
{
    DWORD read = 0;
    if (::ReadFile(Handle(m_handle), data, DWORD(std::min<qint64>(size, 1 << 30)), &read, nullptr))
        return read;
    if (::GetLastError() == ERROR_BROKEN_PIPE || ::GetLastError() == ERROR_HANDLE_EOF)
        return 0;
    errno = LastError();
    return -1;
}

qint64 File::ReadAt(char* data, qint64 size, qint64 offset)
{
    qint64 done = 0;
    while (done < size) {
        OVERLAPPED at{};
        at.Offset = DWORD(quint64(offset + done) & 0xFFFFFFFF);
        at.OffsetHigh = DWORD(quint64(offset + done) >> 32);
        DWORD read = 0;
        if (!::ReadFile(Handle(m_handle), data + done, DWORD(std::min<qint64>(size - done, 1 << 30)), &read, &at)) {
            if (::GetLastError() == ERROR_HANDLE_EOF)
                break;
            errno = LastError();
            return -1;
        }
        if (read == 0)
            break;
        done += read;
    }
    return done;
}

bool File::Write(const char* data, qint64 size)
{
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(Handle(m_handle), data, DWORD(std::min<qint64>(size, 1 << 30)), &written, nullptr) ||
            written == 0) {
            errno = LastError();
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool File::WriteAt(const char* data, qint64 size, qint64 offset)
{
    for (qint64 done = 0; done < size;) {
        OVERLAPPED at{};
        at.Offset = DWORD(quint64(offset + done) & 0xFFFFFFFF);
        at.OffsetHigh = DWORD(quint64(offset + done) >> 32);
        DWORD written = 0;
        if (!::WriteFile(Handle(m_handle), data + done, DWORD(std::min<qint64>(size - done, 1 << 30)), &written, &at) ||
            written == 0) {
            errno = LastError();
            return false;
        }
        done += written;
    }
    return true;
}

int File::Sync()
{
    return ::FlushFileBuffers(Handle(m_handle)) ? 0 : LastError();
}

void File::StartWriteback(qint64, qint64)
{
}

int File::SetModified(time_t modified)
{
    const quint64 ticks = (quint64(modified) + 11644473600ULL) * 10000000ULL;
    FILETIME time{DWORD(ticks & 0xFFFFFFFF), DWORD(ticks >> 32)};
    return ::SetFileTime(Handle(m_handle), nullptr, nullptr, &time) ? 0 : LastError();
}

int File::Status(FileStatus& status) const
{
    status = StatusOf(Handle(m_handle), true);
    return 0;
}

File OpenForReading(const QString& path, int& error, FileStatus* status)
{
    error = Probed(Call::OpenForReading, path);
    if (error)
        return File();
    File file(Stored(OpenPath(path, GENERIC_READ, ShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL)));
    if (!file.IsOpen()) {
        error = LastError();
        // A folder cannot be opened so; say what it is.
        const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            error = NotRegularFile;
        return file;
    }
    FileStatus own;
    file.Status(status ? *status : own);
    if ((status ? *status : own).kind != FileStatus::Regular) {
        error = NotRegularFile;
        return File();
    }
    return file;
}

File OpenForUpdate(const QString& path, int& error)
{
    File file(Stored(OpenPath(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT)));
    error = file.IsOpen() ? 0 : LastError();
    FileStatus status;
    if (file.IsOpen() && (file.Status(status), status.kind != FileStatus::Regular)) {
        error = NotRegularFile;
        return File();
    }
    if (file.IsOpen()) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (::GetFileInformationByHandle(Handle(file.m_handle), &info) &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            error = ELOOP;
            return File();
        }
    }
    return file;
}

File CreateNew(const QString& path, int& error)
{
    File file(Stored(OpenPath(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL)));
    error = file.IsOpen() ? 0 : LastError();
    return file;
}

// --------------------------------------------------------------------------- folders

int MakeFolder(const QString& path)
{
    return ::CreateDirectoryW(Wide(path).c_str(), nullptr) ? 0 : LastError();
}

int MakePrivateFolder(const QString& path)
{
    return MakeFolder(path);  // in the user's own temporary folder, which only the user may change
}

QString MakeUniqueFolder(const QString& parent, const QByteArray& stem, int& error)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString path = parent + u'/' + QString::fromUtf8(stem + RandomLetters());
        error = MakeFolder(path);
        if (error != EEXIST)
            return error ? QString() : path;
    }
    return {};
}

Privacy FolderPrivacy(const QString& path)
{
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Privacy::Unknown;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return Privacy::Link;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Privacy::NotFolder;
    // In the user's own temporary folder, which only the user may change.
    return Privacy::Private;
}

QString UserTag()
{
    wchar_t name[256] = {};
    DWORD size = 256;
    QString tag = ::GetUserNameW(name, &size) ? QString::fromWCharArray(name) : QString();
    for (QChar& c : tag) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'-' && c != u'_')
            c = u'_';
    }
    return tag.isEmpty() ? QStringLiteral("user") : tag;
}

QString TemporaryVariable(QString& value)
{
    for (const char* name : {"TMP", "TEMP"}) {
        value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            return QString::fromLatin1(name);
    }
    return QStringLiteral("TMP");
}

Folder Folder::Open(const QString& path, bool refuseLinks, int& error)
{
    Folder folder;
    // Held without letting anyone delete or rename it: while it is open, its
    // path leads to this folder and no other.
    const HANDLE handle = OpenPath(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (refuseLinks ? FILE_FLAG_OPEN_REPARSE_POINT : 0));
    if (handle == INVALID_HANDLE_VALUE) {
        error = LastError();
        return folder;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    ::GetFileInformationByHandle(handle, &info);
    // The path's own attributes too: some file systems tell a link only there.
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        info.dwFileAttributes |= attributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (refuseLinks && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
        error = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? ELOOP : ENOTDIR;
        ::CloseHandle(handle);
        return folder;
    }
    error = 0;
    folder.m_handle = Stored(handle);
    folder.m_path = path;
    return folder;
}

Folder::~Folder()
{
    if (m_handle != Invalid)
        ::CloseHandle(Handle(m_handle));
}

Folder::Folder(Folder&& other) noexcept : m_handle(other.m_handle), m_path(std::move(other.m_path))
{
    other.m_handle = Invalid;
}

Folder& Folder::operator=(Folder&& other) noexcept
{
    if (this != &other) {
        if (m_handle != Invalid)
            ::CloseHandle(Handle(m_handle));
        m_handle = other.m_handle;
        m_path = std::move(other.m_path);
        other.m_handle = Invalid;
    }
    return *this;
}

bool Folder::Mine() const
{
    return true;  // in a folder of the user's own, as the work area and its runs are
}

int Folder::Status(const QString& name, FileStatus& status) const
{
    return platform::Stat(m_path + u'/' + name, status, false);
}

File Folder::CreateTemporary(const QByteArray& stem, QString& name, int& error)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = QString::fromUtf8(stem + RandomLetters());
        File file = CreateNew(m_path + u'/' + name, error);
        if (file.IsOpen() || error != EEXIST)
            return file;
    }
    return File();
}

int Folder::Remove(const QString& name)
{
    return ::DeleteFileW(Wide(m_path + u'/' + name).c_str()) ? 0 : LastError();
}

void Folder::RemoveFiles()
{
    for (const QString& name : Names()) {
        FileStatus status;
        if (Status(name, status) == 0 && status.kind != FileStatus::Folder)
            Remove(name);  // a link itself, never what it leads to
    }
}

int Folder::MoveWithoutReplacing(const QString& from, const QString& to)
{
    if (const int injected = Probed(Call::Rename, m_path + u'/' + from, m_path + u'/' + to))
        return injected;
    return ::MoveFileExW(Wide(m_path + u'/' + from).c_str(), Wide(m_path + u'/' + to).c_str(), MOVEFILE_WRITE_THROUGH)
               ? 0
               : LastError();
}

File Folder::CreateUnnamed(int& error)
{
    error = ENOTSUP;  // every file has a name here
    return File();
}

int Folder::Link(const File&, const QString&)
{
    return ENOTSUP;
}

Folder Folder::MakeUnique(const QByteArray& stem, QString& name, int& error)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = QString::fromUtf8(stem + RandomLetters());
        error = MakeFolder(m_path + u'/' + candidate);
        if (error == EEXIST)
            continue;
        if (error)
            return Folder();
        name = candidate;
        Folder made = Open(m_path + u'/' + candidate, true, error);
        if (!made.IsOpen())
            RemoveFolder(candidate);
        return made;
    }
    return Folder();
}

int Folder::RemoveFolder(const QString& name)
{
    return ::RemoveDirectoryW(Wide(m_path + u'/' + name).c_str()) ? 0 : LastError();
}

int Folder::Sync()
{
    // The renames in it were written through already.
    return Probed(Call::SyncFolder, m_path);
}

qint64 Folder::FreeSpace() const
{
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(Wide(m_path).c_str(), &available, nullptr, nullptr))
        return -1;
    return qint64(available.QuadPart);
}

QStringList Folder::Names() const
{
    QStringList names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(Wide(m_path + QStringLiteral("/*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const QString name = QString::fromWCharArray(found.cFileName);
        if (name != u"." && name != u"..")
            names << name;
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

int RemoveFolder(const QString& path)
{
    return ::RemoveDirectoryW(Wide(path).c_str()) ? 0 : LastError();
}

QList<QByteArray> UndecodableNames(const QString&)
{
    return {};  // names are UTF-16: every one is what it says
}

int RenameUndecodable(const QString&, const QByteArray&, const QString&)
{
    return ENOSYS;
}

// --------------------------------------------------------------------------- durable replace

int SyncFile(const QString& path)
{
    if (const int injected = Probed(Call::SyncFile, path))
        return injected;
    return FlushPath(path);
}

int SyncAll(const QString& folder, const QList<QString>& files)
{
    if (const int injected = Probed(Call::SyncAll, folder))
        return injected;
    for (const QString& file : files) {
        if (const int failed = FlushPath(file))
            return failed;
    }
    return 0;
}

int SyncFolder(const QString& folder)
{
    // The rename was written through already (MOVEFILE_WRITE_THROUGH).
    return Probed(Call::SyncFolder, folder);
}

int Replace(const QString& from, const QString& to)
{
    if (const int injected = Probed(Call::Rename, from, to))
        return injected;
    return ::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : LastError();
}

int TakeOver(const QString& path, const QString& previous, const FileStatus&)
{
    // The old archive's access list, so the new one is no more open than it
    // was: its own entries and whether it inherits the folder's, which the new
    // file then inherits from the same folder. A file system without access
    // lists (FAT, some shares) has nothing to carry over.
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(Wide(previous).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &list, nullptr, &descriptor) != ERROR_SUCCESS)
        return 0;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    std::wstring target = Wide(path);
    const DWORD result = ::SetNamedSecurityInfoW(target.data(), SE_FILE_OBJECT, what, nullptr, nullptr, list, nullptr);
    ::LocalFree(descriptor);
    if (result == ERROR_SUCCESS || result == ERROR_NOT_SUPPORTED || result == ERROR_INVALID_FUNCTION)
        return 0;
    return FromWindows(result);
}

// --------------------------------------------------------------------------- processes

bool ProcessRuns(qint64 pid)
{
    if (pid <= 0 || pid > 0xFFFFFFFFLL)
        return false;
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool runs = ::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    ::CloseHandle(process);
    return runs;
}

QString ProgramFile(const QString& path)
{
    return path + QStringLiteral(".exe");
}

void PrepareChild(QProcess& process)
{
    // No console at all (a hidden one would still take questions nobody sees):
    // its input, output and errors are the pipes QProcess gives it.
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* arguments) {
        arguments->flags = (arguments->flags & ~DWORD(CREATE_NO_WINDOW)) | DETACHED_PROCESS;
    });
}

namespace {
const char JobProperty[] = "quillfold-job";

HANDLE JobOf(const QProcess& process)
{
    return reinterpret_cast<HANDLE>(process.property(JobProperty).value<quintptr>());
}
}  // namespace

void ChildStarted(QProcess& process)
{
    // A job of its own for every child: stopping it stops whatever it started
    // too, and when this program ends, however it ends, the job's last handle
    // goes and the system kills what is in it.
    const HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (!job)
        return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    const HANDLE child = ::OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(process.processId()));
    if (!child || !::AssignProcessToJobObject(job, child)) {
        if (child)
            ::CloseHandle(child);
        ::CloseHandle(job);
        return;
    }
    ::CloseHandle(child);
    process.setProperty(JobProperty, QVariant::fromValue(quintptr(job)));
    QObject::connect(&process, &QProcess::finished, &process, [&process] {
        if (const HANDLE done = JobOf(process)) {
            process.setProperty(JobProperty, QVariant());
            ::CloseHandle(done);
        }
    });
}

void StopChild(QProcess& process, int)
{
    // A console program has no window to be asked to close: it is ended at
    // once, with all it started, and only when the last of them is gone are
    // the files it held free to be removed.
    const HANDLE job = JobOf(process);
    if (job)
        ::TerminateJobObject(job, 1);
    process.kill();
    process.waitForFinished(-1);
    if (!job)
        return;
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    for (int waited = 0; waited < 5000; waited += 10) {
        if (!::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                         nullptr) ||
            accounting.ActiveProcesses == 0)
            break;
        ::Sleep(10);
    }
}

// --------------------------------------------------------------------------- interrupts and the console

namespace {
std::atomic<int>* caughtInto = nullptr;
std::function<void()> onInterrupt;
HANDLE endedEvent = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    const int signal = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 2   // as SIGINT
                       : event == CTRL_CLOSE_EVENT                        ? 1   // as SIGHUP
                                                                          : 15;  // as SIGTERM
    int none = 0;
    caughtInto->compare_exchange_strong(none, signal);
    if (QCoreApplication* application = QCoreApplication::instance())
        QMetaObject::invokeMethod(application, [] { onInterrupt(); }, Qt::QueuedConnection);
    // The console closing, a log-off or a shut-down end the process as soon
    // as this returns: first let the program clean up, a little while.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::WaitForSingleObject(endedEvent, 4000);
    return TRUE;
}

HANDLE hiddenInput = nullptr;
DWORD hiddenInputMode = 0;

BOOL WINAPI RestoreEcho(DWORD)
{
    // Ctrl+C at the prompt: the echo comes back, and the program ends as it
    // would have without a handler.
    ::SetConsoleMode(hiddenInput, hiddenInputMode);
    ::ExitProcess(DWORD(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

bool IsConsole(DWORD which)
{
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}
}  // namespace

void CatchInterrupts(std::atomic<int>& caught, std::function<void()> onMainThread)
{
    if (caughtInto)
        return;
    caughtInto = &caught;
    onInterrupt = std::move(onMainThread);
    endedEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void Ended()
{
    if (endedEvent)
        ::SetEvent(endedEvent);
}

void ErrorsNotSignals()
{
    // Neither is a signal here: a broken pipe and a file too large are errors already.
}

namespace {
// What a console shows is text, not bytes: UTF-8 written to it is handed over
// as UTF-16, which every console shows whatever its code page.
class ConsoleWriter : public QIODevice
{
public:
    explicit ConsoleWriter(HANDLE console) : m_console(console) { open(QIODevice::WriteOnly | QIODevice::Unbuffered); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        m_carry.append(data, size);
        // A character cut at the end waits for its other bytes.
        qsizetype whole = m_carry.size();
        for (qsizetype back = 1; back <= 3 && back <= m_carry.size(); ++back) {
            const uchar c = uchar(m_carry[m_carry.size() - back]);
            if ((c & 0xC0) != 0x80) {
                const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
                if (length > back)
                    whole -= back;
                break;
            }
        }
        const std::wstring wide = QString::fromUtf8(m_carry.first(whole)).toStdWString();
        m_carry.remove(0, whole);
        for (size_t done = 0; done < wide.size();) {
            DWORD written = 0;
            if (!::WriteConsoleW(m_console, wide.data() + done, DWORD(std::min<size_t>(wide.size() - done, 8192)),
                                 &written, nullptr) ||
                written == 0) {
                setErrorString(ErrorText(LastError()));
                return -1;
            }
            done += written;
        }
        return size;
    }

private:
    HANDLE m_console;
    QByteArray m_carry;
};
}  // namespace

void WriteTextToConsole(QTextStream& stream, FILE* which)
{
    const HANDLE handle = ::GetStdHandle(which == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!::GetConsoleMode(handle, &mode))
        return;  // a file or a pipe takes the bytes as they are
    static std::vector<std::unique_ptr<ConsoleWriter>> writers;
    writers.push_back(std::make_unique<ConsoleWriter>(handle));
    stream.setDevice(writers.back().get());
}

bool InputIsTerminal()
{
    return IsConsole(STD_INPUT_HANDLE);
}

bool ErrorIsTerminal()
{
    return IsConsole(STD_ERROR_HANDLE);
}

QString ReadHidden(const char* question)
{
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool console = ::GetConsoleMode(input, &mode) != 0;
    if (console) {
        hiddenInput = input;
        hiddenInputMode = mode;
        ::SetConsoleCtrlHandler(RestoreEcho, TRUE);
        ::SetConsoleMode(input, mode & ~DWORD(ENABLE_ECHO_INPUT));
    }
    // Asked only once nothing typed can show any more.
    std::fputs(question, stderr);
    std::fflush(stderr);
    QString line;
    if (console) {
        wchar_t buffer[256];
        DWORD read = 0;
        while (::ReadConsoleW(input, buffer, 256, &read, nullptr) && read > 0) {
            line += QString::fromWCharArray(buffer, int(read));
            if (line.contains(u'\n'))
                break;
        }
        line = line.section(u'\n', 0, 0);
        if (line.endsWith(u'\r'))
            line.chop(1);
        ::SetConsoleMode(input, mode);
        ::SetConsoleCtrlHandler(RestoreEcho, FALSE);
    } else {
        std::string bytes;
        std::getline(std::cin, bytes);
        line = QString::fromLocal8Bit(bytes);
    }
    std::fputs("\n", stderr);
    return line;
}

QList<QByteArray> InexactArguments(int, char**)
{
    return {};  // the arguments come as UTF-16 (Qt reads them so): names as they are
}

// --------------------------------------------------------------------------- the rest

bool LocalTime(time_t moment, std::tm& local)
{
    return ::localtime_s(&local, &moment) == 0;
}

int RaiseOpenFileLimit()
{
    return 1 << 20;  // handles, not C descriptors: no small limit
}

void KeepFreedMemory()
{
}

EntryMarks NewEntryMarks()
{
    // As Windows' zip marks a file it adds: made on FAT (MS-DOS), ZIP 3.0,
    // with the archive attribute.
    return EntryMarks{0x001E, FILE_ATTRIBUTE_ARCHIVE};
}

}  // namespace platform
