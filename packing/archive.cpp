#include "archive.h"

#include "RuntimeError.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QIODevice>
#include <QSet>
#include <QUtf8StringView>

#include <minizip/unzip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace archive {
namespace {
constexpr qint64 BlockSize = 1 << 20;

// The bytes of the archive's current entry; the CRC is checked at its end.
class EntryDevice : public QIODevice {
public:
    explicit EntryDevice(unzFile zip) : m_zip(zip) { open(QIODevice::ReadOnly); }
    ~EntryDevice() override
    {
        if (!m_closed)
            unzCloseCurrentFile(m_zip);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (m_closed)
            return 0;
        const int n = unzReadCurrentFile(m_zip, data, unsigned(std::min<qint64>(maxSize, BlockSize)));
        if (n > 0)
            return n;
        if (n == 0) {
            m_closed = true;
            if (unzCloseCurrentFile(m_zip) == UNZ_CRCERROR) {
                setErrorString(QStringLiteral("the entry's data does not match its CRC"));
                return -1;
            }
            return 0;
        }
        setErrorString(QStringLiteral("the entry cannot be read (error %1)").arg(n));
        return -1;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    unzFile m_zip;
    bool m_closed = false;
};

[[noreturn]] void Unreadable(const QString& path, const QString& problem)
{
    throw RuntimeError(err::BadArchive, QStringLiteral("%1: %2").arg(err::Description(err::BadArchive), problem), path);
}

quint16 Le16(const char* p)
{
    return quint16(quint8(p[0]) | quint8(p[1]) << 8);
}

quint32 Le32(const char* p)
{
    return quint32(Le16(p)) | quint32(Le16(p + 2)) << 16;
}

quint64 Le64(const char* p)
{
    return quint64(Le32(p)) | quint64(Le32(p + 4)) << 32;
}

constexpr quint16 Utf8Flag = 0x0800;

bool NeedsUtf8Flag(const QByteArray& name)
{
    const bool ascii = std::all_of(name.cbegin(), name.cend(), [](char c) { return quint8(c) < 0x80; });
    return !ascii && QUtf8StringView(name).isValidUtf8();
}

// An entry as its headers record it.
struct RawEntry {
    QByteArray name;
    quint16 centralFlag = 0;
    quint16 localFlag = 0;
    qint64 centralOffset = 0;  // of the central header
    qint64 localOffset = 0;    // of the local header
};

// The central directory read straight from the file, with each entry's local
// header flag; ZIP64 records are followed where the sizes need them.
QList<RawEntry> RawEntries(QFile& file, const QString& path)
{
    const auto bad = [&](const QString& problem) { Unreadable(path, problem); };
    const qint64 size = file.size();
    const qint64 tailSize = std::min<qint64>(size, 22 + 65535);
    if (!file.seek(size - tailSize))
        bad(QStringLiteral("it cannot be read"));
    const QByteArray tail = file.read(tailSize);
    const qsizetype end = tail.lastIndexOf(QByteArrayLiteral("PK\x05\x06"));
    if (end < 0 || tail.size() - end < 22)
        bad(QStringLiteral("no ZIP directory found"));
    quint64 count = Le16(tail.constData() + end + 10);
    quint64 directorySize = Le32(tail.constData() + end + 12);
    quint64 directoryOffset = Le32(tail.constData() + end + 16);
    const qint64 endOffset = size - tailSize + end;
    if (count == 0xFFFF || directorySize == 0xFFFFFFFF || directoryOffset == 0xFFFFFFFF) {
        file.seek(endOffset - 20);
        const QByteArray locator = file.read(20);
        if (locator.size() != 20 || !locator.startsWith("PK\x06\x07"))
            bad(QStringLiteral("its ZIP64 directory is missing"));
        file.seek(qint64(Le64(locator.constData() + 8)));
        const QByteArray record = file.read(56);
        if (record.size() != 56 || !record.startsWith("PK\x06\x06"))
            bad(QStringLiteral("its ZIP64 directory is damaged"));
        count = Le64(record.constData() + 32);
        directorySize = Le64(record.constData() + 40);
        directoryOffset = Le64(record.constData() + 48);
    }
    if (directoryOffset + directorySize > quint64(size) || directorySize > (quint64(1) << 30))
        bad(QStringLiteral("its directory lies outside the file"));
    file.seek(qint64(directoryOffset));
    const QByteArray directory = file.read(qint64(directorySize));

    QList<RawEntry> entries;
    qsizetype at = 0;
    for (quint64 i = 0; i < count; ++i) {
        if (directory.size() - at < 46 || !directory.mid(at, 4).startsWith("PK\x01\x02"))
            bad(QStringLiteral("its directory is damaged"));
        const char* h = directory.constData() + at;
        const qsizetype nameLength = Le16(h + 28), extraLength = Le16(h + 30), commentLength = Le16(h + 32);
        if (directory.size() - at < 46 + nameLength + extraLength + commentLength)
            bad(QStringLiteral("its directory is damaged"));
        RawEntry entry;
        entry.name = directory.mid(at + 46, nameLength);
        entry.centralFlag = Le16(h + 8);
        entry.centralOffset = qint64(directoryOffset) + at;
        quint64 local = Le32(h + 42);
        if (local == 0xFFFFFFFF) {
            // In the ZIP64 field, after the sizes that overflowed too.
            const char* extra = h + 46 + nameLength;
            for (qsizetype e = 0; e + 4 <= extraLength;) {
                const quint16 id = Le16(extra + e), length = Le16(extra + e + 2);
                if (id == 0x0001) {
                    qsizetype skip = (Le32(h + 24) == 0xFFFFFFFF ? 8 : 0) + (Le32(h + 20) == 0xFFFFFFFF ? 8 : 0);
                    if (skip + 8 <= length && e + 4 + skip + 8 <= extraLength)
                        local = Le64(extra + e + 4 + skip);
                    break;
                }
                e += 4 + length;
            }
        }
        entry.localOffset = qint64(local);
        file.seek(entry.localOffset);
        const QByteArray header = file.read(30);
        if (header.size() != 30 || !header.startsWith("PK\x03\x04") ||
            file.read(Le16(header.constData() + 26)) != entry.name)
            bad(QStringLiteral("the local header of %1 is damaged").arg(QString::fromUtf8(entry.name)));
        entry.localFlag = Le16(header.constData() + 6);
        entries << entry;
        at += 46 + nameLength + extraLength + commentLength;
    }
    return entries;
}

[[noreturn]] void Differs(const QString& path, const QString& difference)
{
    throw RuntimeError(err::ArchiveCheckFailed,
                       QStringLiteral("%1: %2").arg(err::Description(err::ArchiveCheckFailed), difference), path);
}
}  // namespace

ZipArchive::ZipArchive(const QString& path) : m_path(path)
{
    if (!QFileInfo::exists(path))
        throw RuntimeError(err::FileNotFound, path);
    m_zip = unzOpen64(QFile::encodeName(path).constData());
    if (!m_zip)
        Unreadable(path, QStringLiteral("no ZIP directory found"));
    for (int rc = unzGoToFirstFile(m_zip); rc != UNZ_END_OF_LIST_OF_FILE; rc = unzGoToNextFile(m_zip)) {
        if (rc != UNZ_OK)
            Unreadable(path, QStringLiteral("its directory is damaged"));
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(m_zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            Unreadable(path, QStringLiteral("its directory is damaged"));
        QByteArray name(qsizetype(info.size_filename), Qt::Uninitialized);
        if (unzGetCurrentFileInfo64(m_zip, &info, name.data(), uLong(name.size()), nullptr, 0, nullptr, 0) != UNZ_OK)
            Unreadable(path, QStringLiteral("its directory is damaged"));
        unz64_file_pos position{};
        unzGetFilePos64(m_zip, &position);
        Entry entry;
        entry.rawName = name;
        entry.name = QString::fromUtf8(entry.rawName);
        entry.size = qint64(info.uncompressed_size);
        entry.crc = quint32(info.crc);
        m_entries << entry;
        m_positions << qMakePair(quint64(position.pos_in_zip_directory), quint64(position.num_of_file));
    }
}

ZipArchive::~ZipArchive()
{
    if (m_zip)
        unzClose(m_zip);
}

std::unique_ptr<QIODevice> ZipArchive::Open(int index)
{
    unz64_file_pos position{m_positions.at(index).first, m_positions.at(index).second};
    if (unzGoToFilePos64(m_zip, &position) != UNZ_OK || unzOpenCurrentFile(m_zip) != UNZ_OK)
        Unreadable(m_path, QStringLiteral("the entry %1 cannot be opened").arg(m_entries.at(index).name));
    return std::make_unique<EntryDevice>(m_zip);
}

bool LooksLikeZip(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray start = file.read(4);
    return start == QByteArrayLiteral("PK\x03\x04") || start == QByteArrayLiteral("PK\x05\x06");
}

quint32 FileCrc(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw RuntimeError(err::FileNotFound, path);
    uLong crc = crc32(0L, Z_NULL, 0);
    QByteArray block(BlockSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(block.data(), block.size());
        if (n < 0)
            throw RuntimeError(err::DeviceIO, path);
        if (n == 0)
            return quint32(crc);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(block.constData()), uInt(n));
    }
}

void MarkUtf8Names(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        throw RuntimeError(err::NumberOfErrno(errno), path);
    for (const RawEntry& entry : RawEntries(file, path)) {
        if (!NeedsUtf8Flag(entry.name))
            continue;
        for (const auto& [offset, flag] : {std::pair{entry.localOffset + 6, entry.localFlag},
                                           std::pair{entry.centralOffset + 8, entry.centralFlag}}) {
            const quint16 marked = flag | Utf8Flag;
            const char bytes[2] = {char(marked & 0xFF), char(marked >> 8)};
            if (!file.seek(offset) || file.write(bytes, 2) != 2)
                throw RuntimeError(err::DeviceIO, file.errorString(), path);
        }
    }
    if (!file.flush())
        throw RuntimeError(err::DeviceIO, file.errorString(), path);
}

void VerifyArchive(const QString& path, const QList<Expected>& expected)
{
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw RuntimeError(err::FileNotFound, path);
        for (const RawEntry& entry : RawEntries(file, path)) {
            if (NeedsUtf8Flag(entry.name) && !(entry.centralFlag & entry.localFlag & Utf8Flag))
                Differs(path, QStringLiteral("%1 is not marked as a UTF-8 name").arg(QString::fromUtf8(entry.name)));
        }
    }
    ZipArchive zip(path);
    const QList<Entry>& entries = zip.Entries();
    QSet<QByteArray> seen;
    for (const Entry& entry : entries) {
        if (seen.contains(entry.rawName))
            Differs(path, QStringLiteral("%1 is in it more than once").arg(entry.name));
        seen.insert(entry.rawName);
    }
    for (const Expected& want : expected) {
        if (!seen.contains(want.rawName))
            Differs(path, QStringLiteral("%1 is missing").arg(QString::fromUtf8(want.rawName)));
    }
    QHash<QByteArray, const Expected*> wanted;
    for (const Expected& want : expected)
        wanted.insert(want.rawName, &want);
    QByteArray block(BlockSize, Qt::Uninitialized);
    for (int i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        const Expected* want = wanted.value(entry.rawName);
        if (!want)
            Differs(path, QStringLiteral("%1 was not packed by this run").arg(entry.name));
        if (entry.size != want->size || entry.crc != want->crc)
            Differs(path, QStringLiteral("%1 differs from the package that was written").arg(entry.name));
        // Read the data back: the CRC check at its end proves it intact.
        const std::unique_ptr<QIODevice> data = zip.Open(i);
        qint64 n = 0;
        while ((n = data->read(block.data(), block.size())) > 0) {
        }
        if (n < 0)
            Differs(path, QStringLiteral("%1 cannot be read back: %2").arg(entry.name, data->errorString()));
    }
}

}  // namespace archive
