#include "RuntimeError.h"

#include "platform/platform.h"

#include <cerrno>

namespace err {
QString Description(int number)
{
    switch (number) {
    case InvalidCall: return QStringLiteral("Invalid procedure call or argument");
    case Overflow: return QStringLiteral("Overflow");
    case OutOfMemory: return QStringLiteral("Out of memory");
    case FileNotFound: return QStringLiteral("File not found");
    case DeviceIO: return QStringLiteral("Device I/O error");
    case FileExists: return QStringLiteral("File already exists");
    case DiskFull: return QStringLiteral("Disk full");
    case InputPastEnd: return QStringLiteral("Input past end of file");
    case PermissionDenied: return QStringLiteral("Permission denied");
    case PathFileAccess: return QStringLiteral("Path/File access error");
    case PathNotFound: return QStringLiteral("Path not found");
    case InvalidUseOfNull: return QStringLiteral("Invalid use of Null");
    case ArchiverFailed: return QStringLiteral("Archiver failed");
    case ArchiveCheckFailed: return QStringLiteral("Archive check failed");
    case BadPackage: return QStringLiteral("Not a valid package");
    case BadArchive: return QStringLiteral("Not a readable ZIP archive");
    case FileTooLarge: return QStringLiteral("File too large");
    default: return QStringLiteral("Application-defined or object-defined error");
    }
}

int NumberOfErrno(int code)
{
    if (platform::IsDiskFull(code))
        return DiskFull;
    switch (code) {
    case EFBIG: return FileTooLarge;
    case EEXIST: return FileExists;
    case ENOENT:
    case ENOTDIR: return PathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return PermissionDenied;
    case ENOMEM: return OutOfMemory;
    default: return PathFileAccess;
    }
}
}  // namespace err

RuntimeError::RuntimeError(int number, QString path)
    : RuntimeError(number, err::Description(number), std::move(path))
{
}

RuntimeError::RuntimeError(int number, QString description, QString path)
    : m_number(number), m_description(std::move(description)), m_path(std::move(path))
{
    m_what = QStringLiteral("Run-time error %1: %2").arg(m_number).arg(m_description).toUtf8();
    if (!m_path.isEmpty())
        m_what += ": " + m_path.toUtf8();
}

RuntimeError RuntimeError::Because(int number, const QString& cause, QString path)
{
    const QString description = err::Description(number);
    if (cause.startsWith(description, Qt::CaseInsensitive))
        return RuntimeError(number, description + cause.mid(description.size()), std::move(path));
    return RuntimeError(number, QStringLiteral("%1 (%2)").arg(description, cause), std::move(path));
}

RuntimeError RuntimeError::Detailed(int number, const QString& detail, QString path)
{
    return RuntimeError(number, QStringLiteral("%1: %2").arg(err::Description(number), detail), std::move(path));
}

RuntimeError RuntimeError::For(int number, err::Reason reason, const QStringList& particulars, QString path)
{
    RuntimeError error = Detailed(number, err::Words(reason, particulars), std::move(path));
    error.m_reason = reason;
    error.m_particulars = particulars;
    return error;
}

QString RuntimeError::summary() const
{
    return m_path.isEmpty() || m_description.contains(m_path) ? m_description
                                                              : QStringLiteral("%1 (%2)").arg(m_description, m_path);
}

QString RuntimeError::report() const
{
    QString text = QStringLiteral("Run-time error '%1':\n\n%2").arg(m_number).arg(m_description);
    if (!m_path.isEmpty())
        text += QStringLiteral("\n\n") + m_path;
    return text;
}
