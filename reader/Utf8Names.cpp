#include "Utf8Names.h"

#include "Directory.h"
#include "base/RuntimeError.h"
#include "format/Zip.h"
#include "platform/platform.h"

#include <QtEndian>

#include <cerrno>

namespace archive {
using namespace zipformat;

namespace {
// Makes the end record's size of the central directory what it is: the
// distance from the directory to the record that follows it (the ZIP64 end
// record, or the end record).
void CorrectDirectorySize(platform::File& file, const QString& path)
{
    platform::FileStatus info;
    if (file.Status(info) != 0 || info.size < end::FixedSize)
        return;
    const EndRecord last = FindEndRecord(file, info.size);
    if (last.offset < 0)
        return;
    const auto write = [&](qint64 offset, const char* bytes, qint64 size) {
        if (!file.WriteAt(bytes, size, offset))
            throw RuntimeError(err::DeviceIO, platform::ErrorText(errno), path);
    };
    const QByteArray locator = ReadAt(file, last.offset - zip64locator::FixedSize, zip64locator::FixedSize);
    if (locator.size() == zip64locator::FixedSize && StartsWithSignature(locator, Zip64LocatorSignature)) {
        const qint64 recordOffset = qint64(Le64(locator.constData() + zip64locator::RecordOffset));
        const QByteArray record = ReadAt(file, recordOffset, zip64end::FixedSize);
        if (record.size() != zip64end::FixedSize || !StartsWithSignature(record, Zip64EndSignature))
            return;
        const quint64 size = quint64(recordOffset) - Le64(record.constData() + zip64end::DirectoryOffset);
        if (Le64(record.constData() + zip64end::DirectorySize) != size && size < quint64(recordOffset)) {
            char bytes[8];
            qToLittleEndian<quint64>(size, bytes);
            write(recordOffset + zip64end::DirectorySize, bytes, 8);
        }
        return;
    }
    const quint32 offset = Le32(last.bytes.constData() + end::DirectoryOffset);
    const quint32 recorded = Le32(last.bytes.constData() + end::DirectorySize);
    if (offset != Max32 && quint64(offset) <= quint64(last.offset) && recorded != quint64(last.offset) - offset) {
        char bytes[4];
        qToLittleEndian<quint32>(quint32(last.offset - offset), bytes);
        write(last.offset + end::DirectorySize, bytes, 4);
    }
}
}  // namespace

void MarkUtf8Names(const QString& path)
{
    int error = 0;
    platform::File file = platform::OpenForUpdate(path, error);
    if (!file.IsOpen())
        throw RuntimeError(err::NumberOfErrno(error), path);
    CorrectDirectorySize(file, path);
    for (const RawEntry& entry : ReadDirectory(file, path)) {
        if (!entry.problem.isEmpty())
            Unreadable(path, entry.problem);
        if (!NeedsUtf8Flag(entry.name))
            continue;
        for (const auto& [offset, flag] : {std::pair{entry.localOffset + local::Flag, entry.localFlag},
                                           std::pair{entry.centralOffset + central::Flag, entry.centralFlag}}) {
            const quint16 marked = flag | Utf8Flag;
            const char bytes[2] = {char(marked & 0xFF), char(marked >> 8)};
            if (!file.WriteAt(bytes, 2, offset))
                throw RuntimeError(err::DeviceIO, platform::ErrorText(errno), path);
        }
    }
}

}  // namespace archive
