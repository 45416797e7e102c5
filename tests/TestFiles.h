#pragma once
// Small file helpers shared by the tests.

#include "base/RuntimeError.h"
#include "platform/platform.h"
#include "reader/ZipReader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <functional>
#ifndef Q_OS_WIN
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#define WIN32_LEAN_AND_MEAN  // no common dialog macros: the window has OFN_ names of its own
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#endif
#include <mutex>

namespace testfiles {

inline void WriteFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

inline QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A program built beside the tests (with the system's executable extension).
inline QString BuiltProgram(const QString& name)
{
    return platform::ProgramFile(QCoreApplication::applicationDirPath() + u'/' + name);
}

// Info-ZIP's zip or unzip, as the programs run it: bin/ beside them.
inline QString InfoZip(const QString& name)
{
    return BuiltProgram(QStringLiteral("bin/") + name);
}

// The entry names of an archive, in their order, as Info-ZIP's unzip lists
// them; on Windows, whose unzip takes and shows names only in the ANSI code
// page, as this program's reader does.
inline QStringList EntriesOf(const QString& archive)
{
#ifdef Q_OS_WIN
    QStringList names;
    try {
        const archive::ZipArchive zip(archive);
        for (const archive::Entry& entry : zip.Entries())
            names << entry.name;
    } catch (const RuntimeError&) {
    }
    return names;
#else
    QProcess list;
    list.start(InfoZip(QStringLiteral("unzip")), {QStringLiteral("-Z1"), archive});
    list.waitForFinished();
    return QString::fromUtf8(list.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
#endif
}

// The bytes of an archive entry as Info-ZIP's unzip extracts them (on
// Windows, as this program's reader does, checked to its end).
inline QByteArray EntryContent(const QString& archive, const QString& entry)
{
#ifdef Q_OS_WIN
    try {
        archive::ZipArchive zip(archive);
        for (int i = 0; i < zip.Entries().size(); ++i) {
            if (zip.Entries()[i].name != entry)
                continue;
            const std::unique_ptr<archive::EntryReader> data = zip.Open(i);
            const QByteArray bytes = data->readAll();
            return data->intact() ? bytes : QByteArray("(damaged)");
        }
    } catch (const RuntimeError&) {
    }
    return {};
#else
    QProcess extract;
    extract.start(InfoZip(QStringLiteral("unzip")), {QStringLiteral("-p"), archive, entry});
    extract.waitForFinished(-1);
    return extract.readAllStandardOutput();
#endif
}

// Runs a program to its end (false, with a warning that says why, if it did
// not get there). Under Wine a program now and then fails to start at all
// (seen in CI, among a test's thousand runs of unzip): only such a start is
// tried again, warned of; a program that ran is never run twice.
inline bool RunToEnd(QProcess& process, const QString& program, const QStringList& arguments)
{
    for (int attempt = 1;; ++attempt) {
        process.start(program, arguments);
        if (process.waitForFinished(-1) || (process.state() != QProcess::NotRunning && process.waitForFinished(-1)))
            return true;
        const bool again = process.error() == QProcess::FailedToStart && attempt < 5;
        qWarning("%s %s: %s (QProcess error %d)%s", qPrintable(program), qPrintable(arguments.join(u' ')),
                 qPrintable(process.errorString()), int(process.error()), again ? "; trying again" : "");
        if (!again)
            return false;
        QThread::msleep(500 * attempt);
    }
}

// Runs Info-ZIP's zip; its exit code.
inline int Zip(const QStringList& arguments)
{
    return QProcess::execute(InfoZip(QStringLiteral("zip")), arguments);
}

// True where the tests can use what only POSIX systems have: signals,
// pipes in the file system, other users, mounts, resource limits, Python.
#ifdef Q_OS_WIN
constexpr bool Posix = false;
#else
constexpr bool Posix = true;
#endif

// True when the tests run as root (never on Windows), who may become other
// users, give files to them and mount file systems.
inline bool Root()
{
#ifdef Q_OS_WIN
    return false;
#else
    return ::geteuid() == 0;
#endif
}

// What to run a program through under a limit of one process: the leak
// check at its end needs a thread of its own (AddressSanitizer's builds).
inline QStringList WithoutLeakCheck()
{
#if defined(__SANITIZE_ADDRESS__)
    return {QStringLiteral("env"), QStringLiteral("ASAN_OPTIONS=%1:detect_leaks=0").arg(qEnvironmentVariable("ASAN_OPTIONS"))};
#else
    return {};
#endif
}

// Random bytes, from the given generator or the global one.
inline QByteArray RandomBytes(qint64 size, QRandomGenerator* random = QRandomGenerator::global())
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(random->bounded(256));
    return bytes;
}

// The environment variables that name the temporary folder.
inline QStringList TempVariables()
{
    return Posix ? QStringList{QStringLiteral("TMPDIR")} : QStringList{QStringLiteral("TMP"), QStringLiteral("TEMP")};
}

// Makes `folder` the temporary folder of this process and of what it starts.
inline void UseTempFolder(const QString& folder)
{
    for (const QString& name : TempVariables())
        qputenv(name.toLatin1().constData(), QFile::encodeName(QDir::toNativeSeparators(folder)));
}

// Puts a program at `path` (without extension): a link on POSIX, a copy on
// Windows, whose links are no programs.
inline void PlaceProgram(const QString& program, const QString& path)
{
    const QString placed = platform::ProgramFile(path);
    if (QFileInfo::exists(placed))
        return;
    if (!(Posix ? QFile::link(program, placed) : QFile::copy(program, placed)))
        qFatal("cannot make %s", qPrintable(placed));
}

// Makes a symbolic link at `link` to `target`; false where the system makes
// none (Wine's CreateSymbolicLinkW makes nothing, but it starts POSIX programs:
// its own links are made with ln).
inline bool MakeLink(const QString& target, const QString& link)
{
    if (Posix)
        return QFile::link(target, link);
    const auto unix = [](const QString& path) {  // the POSIX path Wine keeps behind a Windows one
#ifdef Q_OS_WIN
        using ToUnix = char* (*)(const wchar_t*);
        const auto toUnix = reinterpret_cast<ToUnix>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
        if (char* converted = toUnix && QDir::isAbsolutePath(path) ? toUnix(path.toStdWString().c_str()) : nullptr) {
            const QString result = QString::fromUtf8(converted);
            HeapFree(GetProcessHeap(), 0, converted);
            return result;
        }
#endif
        return path;
    };
    if (QProcess::execute(QStringLiteral("/bin/ln"), {QStringLiteral("-s"), unix(target), unix(link)}) == 0)
        return true;
    QProcess mklink;
    mklink.start(QStringLiteral("cmd"), {QStringLiteral("/c"), QStringLiteral("mklink"), QStringLiteral("/j"),
                                         QDir::toNativeSeparators(link), QDir::toNativeSeparators(target)});
    return mklink.waitForFinished() && mklink.exitCode() == 0 && QFileInfo(link).isDir();
}

#ifdef Q_OS_WIN
// A file's access list (and whether it inherits its folder's) in the system's
// string form; and setting one from that form.
inline QString AccessList(const QString& path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.toStdWString().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return QStringLiteral("(unreadable)");
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                         nullptr);
    const QString list = text ? QString::fromWCharArray(text) : QString();
    LocalFree(text);
    LocalFree(descriptor);
    return list;
}

inline bool SetAccessList(const QString& path, const QString& list)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(list.toStdWString().c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return false;
    const bool set = SetFileSecurityW(path.toStdWString().c_str(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return set;
}
#endif

// Removes a symbolic link made by MakeLink, if `path` is one (never what it
// leads to).
inline void RemoveLink(const QString& path)
{
#ifdef Q_OS_WIN
    const DWORD attributes = GetFileAttributesW(path.toStdWString().c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return;
    using ToUnix = char* (*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (char* unix = toUnix ? toUnix(path.toStdWString().c_str()) : nullptr) {  // Wine's own link: a POSIX one
        QProcess::execute(QStringLiteral("/bin/rm"), {QString::fromUtf8(unix)});
        HeapFree(GetProcessHeap(), 0, unix);
    } else {
        RemoveDirectoryW(path.toStdWString().c_str());
    }
#else
    if (QFileInfo(path).isSymLink())
        QFile::remove(path);
#endif
}

// The id of a process that has ended.
inline qint64 DeadPid()
{
    QProcess done;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILLFOLD_STANDIN"), QStringLiteral("exit:0"));
    done.setProcessEnvironment(environment);
    done.start(BuiltProgram(QStringLiteral("standin")), {});
    const qint64 pid = done.processId();
    done.waitForFinished();
    return pid;
}

// Makes `folder` a program folder whose bin/zip (and bin/unzip, if asked)
// is the tests' stand-in archiver; returns the folder.
inline QString StandInFolder(const QString& folder, const QStringList& programs = {QStringLiteral("zip")})
{
    QDir().mkpath(folder + QStringLiteral("/bin"));
    for (const QString& program : programs)
        PlaceProgram(BuiltProgram(QStringLiteral("standin")), folder + QStringLiteral("/bin/") + program);
    qputenv("QUILLFOLD_REAL_ZIP", QFile::encodeName(InfoZip(QStringLiteral("zip"))));
    return folder;
}

// The number of the run-time error that `call` throws, or 0.
inline int ErrorNumberOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const RuntimeError& error) {
        return error.number();
    }
    return 0;
}

// Records, in order, the calls that read workbooks and put files on disk for
// good ("SyncFile <path>", "Rename <from> <to>", ...), and makes those fail
// that `fail` returns an error code for. In place while it lives.
class RecordingProbe : public platform::Probe {
public:
    std::function<int(platform::Call, const QString& path)> fail;

    RecordingProbe() { platform::SetProbe(this); }
    ~RecordingProbe() override { platform::SetProbe(nullptr); }

    int Before(platform::Call call, const QString& path, const QString& other) override
    {
        static const char* names[] = {"OpenForReading", "SyncFile", "SyncAll", "SyncFolder", "Rename", "StartThread"};
        const std::lock_guard lock(m_mutex);
        m_calls << (QString::fromLatin1(names[int(call)]) + u' ' + path + (other.isEmpty() ? QString() : u' ' + other));
        return fail ? fail(call, path) : 0;
    }
    QStringList Calls() const
    {
        const std::lock_guard lock(m_mutex);
        return m_calls;
    }
    // Where the first call that starts with `prefix` is, or -1.
    qsizetype IndexOf(const QString& prefix) const
    {
        const QStringList calls = Calls();
        for (qsizetype i = 0; i < calls.size(); ++i) {
            if (calls[i].startsWith(prefix))
                return i;
        }
        return -1;
    }

    // True if `to` got its name from a file that was on disk first, and the
    // rename was on disk before the call that reports success.
    bool DurablyNamed(const QString& to) const
    {
        const QStringList calls = Calls();
        qsizetype rename = -1;
        QString from;
        for (qsizetype i = 0; i < calls.size(); ++i) {
            if (calls[i].startsWith("Rename ") && calls[i].endsWith(u' ' + to)) {
                rename = i;
                from = calls[i].mid(7, calls[i].size() - 8 - to.size());
            }
        }
        if (rename < 0)
            return false;
        const QString folder = QFileInfo(to).path();
        const auto before = calls.mid(0, rename), after = calls.mid(rename + 1);
        const bool synced = before.contains("SyncFile " + from) || before.contains("SyncAll " + QFileInfo(from).path());
        return synced && after.contains("SyncFolder " + folder);
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_calls;
};

}  // namespace testfiles
