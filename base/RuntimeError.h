#pragma once

#include "Reasons.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <exception>
#include <new>
#include <system_error>

// The program's numbered run-time errors: every failure above the platform
// layer is one. A failure carries the number the operator sees in the error
// report, a description, the file concerned (empty when no file is
// involved), and, where the program words the cause itself, its reason and
// the particulars the reason names (err::Reason).
namespace err {
constexpr int InvalidCall = 5;        // Invalid procedure call or argument
constexpr int Overflow = 6;           // Overflow
constexpr int OutOfMemory = 7;        // Out of memory
constexpr int FileNotFound = 53;      // File not found
constexpr int DeviceIO = 57;          // Device I/O error
constexpr int FileExists = 58;        // File already exists
constexpr int DiskFull = 61;          // Disk full
constexpr int InputPastEnd = 62;      // Input past end of file
constexpr int PermissionDenied = 70;  // Permission denied
constexpr int PathFileAccess = 75;    // Path/File access error
constexpr int PathNotFound = 76;      // Path not found
constexpr int InvalidUseOfNull = 94;  // Invalid use of Null
constexpr int ArchiverFailed = 1001;  // an external archiver ended with an error
constexpr int ArchiveCheckFailed = 1003;  // the finished archive does not hold what was packed
constexpr int BadPackage = 1004;      // a file that is not a valid package
constexpr int BadArchive = 1005;      // a file that is not a readable ZIP archive
constexpr int FileTooLarge = 1006;    // a file would pass this account's file-size limit, or its file system's

// The standard description of a number, in English as the error report shows it.
QString Description(int number);

// The number for a failed system call's errno: 58 exists, 76 not found, 70
// denied, 61 full, 1006 a file too large, 75 anything else.
int NumberOfErrno(int code);
}  // namespace err

class RuntimeError : public std::exception {
public:
    // With the standard description of the number.
    explicit RuntimeError(int number, QString path = {});
    RuntimeError(int number, QString description, QString path);
    // The standard description, then what the system said in brackets:
    // "Disk full (No space left on device)"; what the system said alone where
    // it starts with the description already.
    static RuntimeError Because(int number, const QString& cause, QString path);
    // The standard description, then what went wrong in particular:
    // "Path/File access error: not a regular file".
    static RuntimeError Detailed(int number, const QString& detail, QString path);
    // A reason of the program's own, its English words as the detail.
    static RuntimeError For(int number, err::Reason reason, const QStringList& particulars, QString path);

    int number() const noexcept { return m_number; }
    const QString& description() const noexcept { return m_description; }
    const QString& path() const noexcept { return m_path; }
    err::Reason reason() const noexcept { return m_reason; }
    const QStringList& particulars() const noexcept { return m_particulars; }

    // The text of the error report: "Run-time error '53':", the description and the file.
    QString report() const;
    // One line: the description, with the file when it does not name it already.
    QString summary() const;

    const char* what() const noexcept override { return m_what.constData(); }

private:
    int m_number;
    QString m_description;
    QString m_path;
    err::Reason m_reason = err::Reason::None;
    QStringList m_particulars;
    QByteArray m_what;
};

// Runs `work`; memory that runs out (an allocation, or a thread that cannot
// be started) becomes run-time error 7, a failure like any other, so that
// whatever the work made is removed on the way out.
template <typename Work>
auto OutOfMemoryAsError(Work&& work) -> decltype(work())
{
    try {
        return work();
    } catch (const std::bad_alloc&) {
        throw RuntimeError(err::OutOfMemory);
    } catch (const std::system_error& error) {
        throw RuntimeError::Because(err::OutOfMemory, QString::fromLocal8Bit(error.what()), QString());
    }
}
