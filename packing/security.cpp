#include "security.h"

#include "RuntimeError.h"
#include "credentials/clsCrypt.h"
#include "credentials/mdlMD5.h"
#include "text.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

namespace security {
namespace {
constexpr qint64 BlockSize = 256 * 1024;  // fits the cache between read and write

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
    // Eight bytes at a time, then the rest one by one.
    constexpr std::uint64_t Mask = 0x0202020202020202u;
    qsizetype i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        word ^= Mask;
        std::memcpy(data + i, &word, 8);
    }
    for (; i < size; ++i)
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
                      const QString& packagePath, const QByteArray& prefix)
{
    // Whole blocks only, the prefix riding in the first: every write then
    // starts on a block boundary of the package, which the file system
    // handles noticeably faster than writes that straddle its pages.
    const qint64 blockSize = std::max<qint64>(std::min(length + prefix.size(), BlockSize), 1);
    const std::unique_ptr<char[]> block(new char[blockSize]);
    std::memcpy(block.get(), prefix.constData(), prefix.size());
    qint64 filled = prefix.size();
    qint64 remaining = length;
    while (remaining > 0) {
        const qint64 got = source.read(block.get() + filled, std::min(remaining, blockSize - filled));
        if (got < 0) {
            throw RuntimeError(err::DeviceIO,
                               QStringLiteral("%1 (%2)").arg(err::Description(err::DeviceIO), source.errorString()),
                               sourcePath);
        }
        if (got == 0)
            throw RuntimeError(err::InputPastEnd, sourcePath);
        ScrambleBlock(block.get() + filled, got);
        filled += got;
        remaining -= got;
        if (filled == blockSize || remaining == 0) {
            WriteAll(package, block.get(), filled, packagePath);
            filled = 0;
        }
    }
    if (filled > 0)  // a prefix and no body
        WriteAll(package, block.get(), filled, packagePath);
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
    // complete; on a failure part-way the temporary file is removed. It is not
    // forced to disk: it is a scratch file that zip reads at once.
    QTemporaryFile package(packagePath + QStringLiteral(".XXXXXX"));
    if (!package.open()) {
        const bool folderMissing = !QFileInfo(packagePath).absoluteDir().exists();
        throw RuntimeError(folderMissing ? err::PathNotFound : err::PathFileAccess, packagePath);
    }
    WritePackageBody(source, length, package, sourcePath, packagePath, header);
    errno = 0;
    if (!package.flush())
        ThrowWriteError(package, packagePath);
    if (std::rename(QFile::encodeName(package.fileName()).constData(), QFile::encodeName(packagePath).constData()) != 0)
        throw RuntimeError(err::PathFileAccess, packagePath);
    package.setAutoRemove(false);  // it has its final name now
}

}  // namespace security
