#include "security.h"

#include "RuntimeError.h"
#include "credentials/clsCrypt.h"
#include "credentials/mdlMD5.h"
#include "text.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <limits>
#include <memory>

namespace security {
namespace {
constexpr qint64 BlockSize = 1 << 20;

// A failed write: a full disk gets its own number, anything else is an I/O error.
[[noreturn]] void ThrowWriteError(const QIODevice& device, const QString& packagePath)
{
    const bool full = errno == ENOSPC;
    throw RuntimeError(full ? err::DiskFull : err::DeviceIO,
                       QStringLiteral("%1 (%2)").arg(err::Description(full ? err::DiskFull : err::DeviceIO),
                                                     device.errorString()),
                       packagePath);
}

void WriteAll(QIODevice& device, const char* data, qint64 size, const QString& packagePath)
{
    while (size > 0) {
        errno = 0;
        const qint64 written = device.write(data, size);
        if (written <= 0)
            ThrowWriteError(device, packagePath);
        data += written;
        size -= written;
    }
}
}  // namespace

QByteArray ScrambleText(const QByteArray& text)
{
    if (text.size() >= std::numeric_limits<qint16>::max())
        throw RuntimeError(err::Overflow);
    QByteArray result = text;
    ScrambleBlock(result.data(), result.size());
    return result;
}

void ScrambleBlock(char* data, qsizetype size) noexcept
{
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char(data[i] ^ 0x02);
}

QByteArray PackageHeader(qint64 bodyLength, const QByteArray& userID, const QByteArray& password)
{
    if (bodyLength < 0 || bodyLength >= MaxSourceSize)
        throw RuntimeError(err::Overflow);
    const clsCrypt crypt;
    const QByteArray length = crypt.EnCrypt(QByteArray::number(bodyLength));
    const QByteArray user = crypt.EnCrypt(userID);
    const QByteArray digest = crypt.EnCrypt(mdlMD5::DigestMD5(password));
    return text::PadField(length, LengthFieldWidth) + text::PadField(user, UserFieldWidth) +
           text::PadField(digest, DigestFieldWidth);
}

void WritePackageBody(QIODevice& source, qint64 length, QIODevice& package, const QString& sourcePath,
                      const QString& packagePath)
{
    const qint64 blockSize = std::min(length, BlockSize);
    const std::unique_ptr<char[]> block(new char[std::max<qint64>(blockSize, 1)]);
    qint64 remaining = length;
    while (remaining > 0) {
        const qint64 got = source.read(block.get(), std::min(remaining, blockSize));
        if (got < 0) {
            throw RuntimeError(err::DeviceIO,
                               QStringLiteral("%1 (%2)").arg(err::Description(err::DeviceIO), source.errorString()),
                               sourcePath);
        }
        if (got == 0)
            throw RuntimeError(err::InputPastEnd, sourcePath);
        ScrambleBlock(block.get(), got);
        WriteAll(package, block.get(), got, packagePath);
        remaining -= got;
    }
}

void WritePackageFile(const QString& sourcePath, const QString& packagePath, const QByteArray& userID,
                      const QByteArray& password)
{
    // Only ever open the source for reading: a source that vanished is an error,
    // never an empty file created in its place.
    const QFileInfo sourceInfo(sourcePath);
    if (!sourceInfo.exists())
        throw RuntimeError(err::FileNotFound, sourcePath);
    if (!sourceInfo.isFile())  // a folder, a device or a pipe
        throw RuntimeError(err::PathFileAccess, sourcePath);

    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        throw RuntimeError(source.error() == QFileDevice::PermissionsError ? err::PermissionDenied
                                                                           : err::PathFileAccess,
                           sourcePath);
    }
    const qint64 length = source.size();
    if (length >= MaxSourceSize)
        throw RuntimeError(err::Overflow, QStringLiteral("Overflow: the file is 2 GiB or larger"), sourcePath);

    const QByteArray header = PackageHeader(length, userID, password);

    // The package is written beside its final name and replaces it only when
    // complete; a failure part-way discards it.
    QSaveFile package(packagePath);
    if (!package.open(QIODevice::WriteOnly)) {
        const bool folderMissing = !QFileInfo(packagePath).absoluteDir().exists();
        throw RuntimeError(folderMissing ? err::PathNotFound : err::PathFileAccess, packagePath);
    }
    WriteAll(package, header.constData(), header.size(), packagePath);
    WritePackageBody(source, length, package, sourcePath, packagePath);
    errno = 0;
    if (!package.commit())
        ThrowWriteError(package, packagePath);
}

}  // namespace security
