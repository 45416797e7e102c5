#include "security.h"

#include "Zip.h"
#include "base/Files.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "credentials/clsCrypt.h"
#include "credentials/mdlMD5.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <libdeflate.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

namespace security {
namespace {
constexpr qint64 BlockSize = 256 * 1024;  // fits the cache between read and write

// A failed write: a full disk and a file too large get their own numbers,
// anything else is an I/O error.
[[noreturn]] void ThrowWriteError(const QIODevice& device, const QString& packagePath)
{
    const int number = platform::IsDiskFull(errno) ? err::DiskFull : errno == EFBIG ? err::FileTooLarge : err::DeviceIO;
    throw RuntimeError::Because(number, device.errorString(), packagePath);
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

// A new file beside `finalPath` under a short, unpredictable name: ".qf" and
// six letters, nine bytes, so that where a name fits, its temporary fits too.
// Never made through a symbolic link; removed unless it is given its final name.
class TemporaryBeside {
public:
    explicit TemporaryBeside(const QString& finalPath)
    {
        int error = 0;
        m_folder = platform::Folder::Open(QFileInfo(finalPath).path(), false, error);
        QString name;
        platform::File file = m_folder.IsOpen() ? m_folder.CreateTemporary(".qf", name, error) : platform::File();
        if (!file.IsOpen())
            throw RuntimeError::Because(err::NumberOfErrno(error), platform::ErrorText(error), finalPath);
        m_name = name;
        m_device.emplace(std::move(file), QIODevice::WriteOnly);
    }
    ~TemporaryBeside()
    {
        m_device.reset();
        if (!m_name.isEmpty())
            m_folder.Remove(m_name);
    }
    TemporaryBeside(const TemporaryBeside&) = delete;
    TemporaryBeside& operator=(const TemporaryBeside&) = delete;

    QIODevice& file() { return *m_device; }

    // Dates the file (after the last write, which would date it anew).
    void SetModified(time_t modified, const QString& finalPath)
    {
        if (const int failed = m_device->file().SetModified(modified))
            throw RuntimeError::Because(err::DeviceIO, platform::ErrorText(failed), finalPath);
    }

    // Gives the file its final name in one step.
    void Commit(const QString& finalPath)
    {
        m_device.reset();
        if (const int failed = platform::Replace(m_folder.path() + u'/' + m_name, finalPath))
            throw RuntimeError::Because(err::PathFileAccess, platform::ErrorText(failed), finalPath);
        m_name.clear();
    }

private:
    platform::Folder m_folder;
    QString m_name;  // in the folder
    std::optional<platform::FileDevice> m_device;
};
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
                      const QString& packagePath, const QByteArray& prefix, const Progress& progress, quint32* crc)
{
    // Whole blocks only, the prefix riding in the first: every write then
    // starts on a block boundary of the package, which the file system
    // handles noticeably faster than writes that straddle its pages.
    const qint64 blockSize = std::max<qint64>(std::min(length + prefix.size(), BlockSize), 1);
    const std::unique_ptr<char[]> block(new char[blockSize]);
    std::memcpy(block.get(), prefix.constData(), prefix.size());
    qint64 filled = prefix.size();
    qint64 remaining = length;
    quint32 sum = 0;
    const auto flush = [&] {
        if (crc)
            sum = libdeflate_crc32(sum, block.get(), size_t(filled));
        WriteAll(package, block.get(), filled, packagePath);
        filled = 0;
        if (progress)
            progress(length - remaining);
    };
    while (remaining > 0) {
        const qint64 got = source.read(block.get() + filled, std::min(remaining, blockSize - filled));
        if (got < 0) {
            throw RuntimeError::Because(err::DeviceIO, source.errorString(), sourcePath);
        }
        if (got == 0)
            throw RuntimeError(err::InputPastEnd, sourcePath);
        ScrambleBlock(block.get() + filled, got);
        filled += got;
        remaining -= got;
        if (filled == blockSize || remaining == 0)
            flush();
    }
    if (filled > 0)  // a prefix and no body
        flush();
    if (crc)
        *crc = sum;
}

PackageWritten WritePackageFile(const QString& sourcePath, const QString& packagePath, const QByteArray& userID,
                                const QByteArray& password, const Progress& progress, WithCrc withCrc)
{
    // Only ever open the source for reading, and only a regular file: a source
    // that vanished is an error, never an empty file created in its place, and
    // a pipe put in its place is refused, never waited on.
    platform::FileStatus status;
    platform::FileDevice source(files::OpenRegularFile(sourcePath, &status), QIODevice::ReadOnly);
    const qint64 length = status.size;
    if (length >= MaxSourceSize)
        throw RuntimeError(err::Overflow, QStringLiteral("Overflow: the file is 2 GiB or larger"), sourcePath);

    const QByteArray header = PackageHeader(length, userID, password);

    // Written beside its final name, which it takes only when complete. It is
    // not forced to disk: it is a scratch file that zip reads at once.
    TemporaryBeside package(packagePath);
    PackageWritten written;
    WritePackageBody(source, length, package.file(), sourcePath, packagePath, header, progress,
                     withCrc == WithCrc::Yes ? &written.crc : nullptr);
    // Dated as its workbook, so that the archive dates its entry as the
    // command-line packer does.
    package.SetModified(zipformat::ZipDatable(status.modified), packagePath);
    written.size = header.size() + length;
    package.Commit(packagePath);
    return written;
}

}  // namespace security
