#include "ZipReader.h"

#include "base/Parallel.h"
#include "base/Ending.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QIODevice>
#include <QSet>
#include <QtEndian>
#include <QUtf8StringView>

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <atomic>
#include <vector>

namespace archive {
namespace {
constexpr qint64 BlockSize = 1 << 20;
constexpr qint64 WholeInflate = 16 << 20;  // entries up to this are inflated at once, by libdeflate

[[noreturn]] void Unreadable(const QString& path, const QString& problem)
{
    throw RuntimeError::Detailed(err::BadArchive, problem, path);
}

quint16 Le16(const char* p)
{
    return qFromLittleEndian<quint16>(p);
}

quint32 Le32(const char* p)
{
    return qFromLittleEndian<quint32>(p);
}

quint64 Le64(const char* p)
{
    return qFromLittleEndian<quint64>(p);
}

// An entry's sizes and the offset of its local header, as the directory records them.
struct Sizes {
    quint64 uncompressed = 0;
    quint64 compressed = 0;
    quint64 local = 0;
};

// An entry as its headers record it.
struct RawEntry {
    QByteArray name;
    quint16 centralFlag = 0;
    quint16 localFlag = 0;
    quint16 centralMethod = 0;
    Sizes sizes;
    quint32 crc = 0;
    qint64 centralOffset = 0;  // of the central header
    qint64 localOffset = 0;    // of the local header
    qint64 end = 0;            // just after its data (and data descriptor)
    qint64 dataStart = 0;      // of its data, after the local header
    quint8 madeBy = 0;         // the system that wrote it (0 MS-DOS, 3 Unix, 11 NTFS, 14 VFAT ...)
    QByteArray unicodeName;    // from its Unicode path field, if it has one for its name
    QString problem;           // what is wrong with this entry's headers, if anything

    // Keeps the first problem found.
    void Note(const QString& found)
    {
        if (problem.isEmpty())
            problem = found;
    }
};

// Reads at an offset until `size` bytes are in, the file ends, or a read
// fails; returns how many came.
qint64 ReadInto(platform::File& file, char* buffer, qint64 size, qint64 offset)
{
    return std::max<qint64>(file.ReadAt(buffer, size, offset), 0);
}

QByteArray ReadAt(platform::File& file, qint64 offset, qint64 size)
{
    QByteArray bytes(std::max<qint64>(size, 0), Qt::Uninitialized);
    bytes.truncate(ReadInto(file, bytes.data(), bytes.size(), offset));
    return bytes;
}

// True if the file holds the four bytes of a signature at the offset.
bool StartsWith(platform::File& file, qint64 offset, const char* signature)
{
    char bytes[4];
    return offset >= 0 && ReadInto(file, bytes, 4, offset) == 4 && std::memcmp(bytes, signature, 4) == 0;
}

// The name in an entry's Unicode path field (0x7075, as Info-ZIP's zip on
// Windows writes one beside a name in the code page), if it has one that is
// meant for this very name (its CRC-32 matches) and is UTF-8; else empty.
QByteArray UnicodePath(const char* extra, qsizetype length, const QByteArray& name)
{
    for (qsizetype at = 0; length - at >= 4; at += 4 + Le16(extra + at + 2)) {
        const qsizetype size = std::min<qsizetype>(Le16(extra + at + 2), length - at - 4);
        const char* block = extra + at + 4;
        if (Le16(extra + at) != 0x7075 || size < 5 || block[0] != 1 ||
            Le32(block + 1) != libdeflate_crc32(0, name.constData(), size_t(name.size())))
            continue;
        const QByteArray unicode(block + 5, size - 5);
        return QUtf8StringView(unicode).isValidUtf8() ? unicode : QByteArray();
    }
    return {};
}

// True if an extra field is a clean sequence of blocks, each within it.
bool ExtraFieldIsSound(const char* extra, qsizetype length)
{
    qsizetype at = 0;
    while (length - at >= 4)
        at += 4 + Le16(extra + at + 2);
    return at == length;
}

// The extra blocks that carry compressed attributes, as unzip tests them: the
// offset of their compressed part (after the block's own header), or 0.
int AttributesOffset(quint16 id)
{
    switch (id) {
    case 0x0009:  // OS/2 extended attributes
    case 0x4341:  // an access control list
        return 4;
    case 0x4453:  // a Windows security descriptor (Windows' zip stores one by default)
        return 5;
    default: return 0;
    }
}

// What is wrong with the compressed attributes in a local extra field, if
// anything: each such block is held to what unzip -t checks (its size, its
// method, its data, its CRC). Attributes this reader cannot read (a Mac, BeOS
// or VMS block) are refused; Quillfold writes none of them.
QString AttributesProblem(const char* extra, qsizetype length)
{
    for (qsizetype at = 0; length - at >= 4; at += 4 + Le16(extra + at + 2)) {
        const quint16 id = Le16(extra + at);
        const qsizetype size = std::min<qsizetype>(Le16(extra + at + 2), length - at - 4);
        const char* block = extra + at + 4;
        if (id == 0x334d || id == 0x6542 || id == 0x7441 || id == 0x000c)
            return QStringLiteral("it carries attributes this reader cannot check");
        const int offset = AttributesOffset(id);
        if (offset == 0)
            continue;
        if (size < offset + 6)
            return size <= 4 ? QString() : QStringLiteral("its extended attributes are cut short");
        const quint32 expected = Le32(block);  // their uncompressed size
        const quint16 method = Le16(block + offset);
        const quint32 crc = Le32(block + offset + 2);
        const QByteArray packed(block + offset + 6, size - offset - 6);
        QByteArray attributes;
        if (method == 0) {
            attributes = packed;
        } else if (method == 8) {
            attributes.resize(qsizetype(expected));
            z_stream z{};
            if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
                return QStringLiteral("its extended attributes cannot be inflated");
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.constData()));
            z.avail_in = uInt(packed.size());
            z.next_out = reinterpret_cast<Bytef*>(attributes.data());
            z.avail_out = uInt(attributes.size());
            const int rc = inflate(&z, Z_FINISH);
            const bool ended = rc == Z_STREAM_END && z.total_out == expected;
            inflateEnd(&z);
            if (!ended)
                return QStringLiteral("its extended attributes are not valid compressed data");
        } else {
            return QStringLiteral("its extended attributes are compressed with method %1").arg(method);
        }
        if (quint32(attributes.size()) != expected ||
            libdeflate_crc32(0, attributes.constData(), size_t(attributes.size())) != crc)
            return QStringLiteral("its extended attributes do not match their CRC");
    }
    return {};
}

// What makes an entry one this reader will not take, if anything: a newer
// format than ZIP 4.6 (ZIP64 is 4.5), or encryption, which Quillfold never uses.
QString Unsupported(const QString& name, quint16 versionNeeded, quint16 flag)
{
    constexpr int NewestKnown = 46;
    if (const int version = versionNeeded & 0xFF; version > NewestKnown)
        return QStringLiteral("%1 needs ZIP version %2.%3").arg(name).arg(version / 10).arg(version % 10);
    constexpr quint16 Encrypted = 0x0001 | 0x0040 | 0x2000;  // traditional, strong, encrypted directory
    if (flag & Encrypted)
        return QStringLiteral("%1 is encrypted").arg(name);
    return {};
}

// Takes what overflowed 32 bits (0xFFFFFFFF in the directory) from the ZIP64
// extra field, which holds such values in this order.
void ReadZip64Field(const char* extra, qsizetype extraLength, Sizes& sizes)
{
    for (qsizetype e = 0; e + 4 <= extraLength; e += 4 + Le16(extra + e + 2)) {
        if (Le16(extra + e) != 0x0001)
            continue;
        const qsizetype fieldEnd = std::min<qsizetype>(e + 4 + Le16(extra + e + 2), extraLength);
        qsizetype field = e + 4;
        for (quint64* value : {&sizes.uncompressed, &sizes.compressed, &sizes.local}) {
            if (*value == 0xFFFFFFFF && field + 8 <= fieldEnd) {
                *value = Le64(extra + field);
                field += 8;
            }
        }
        return;
    }
}

// Reads the entry's local header, and its data descriptor if it has one: both
// must agree with the directory (the entry's CRC and sizes; the length of its
// extra field there is a guess at the local one's). Sets where the entry
// starts and ends.
void CheckLocalHeader(ReadWindow& headers, qint64 fileSize, const QString& name, qsizetype extraGuess, RawEntry& entry)
{
    const quint32 crc = entry.crc;
    const Sizes& sizes = entry.sizes;
    entry.localOffset = qint64(std::min<quint64>(sizes.local, quint64(fileSize)));
    entry.end = entry.localOffset;
    // The header, its name and (usually) its extra field in one read.
    const QByteArray header = headers.Read(entry.localOffset, 30 + entry.name.size() + extraGuess + 64);
    if (header.size() < 30 || !header.startsWith("PK\x03\x04")) {
        entry.Note(QStringLiteral("the local header of %1 is damaged").arg(name));
        return;
    }
    entry.localFlag = Le16(header.constData() + 6);
    entry.Note(Unsupported(name, Le16(header.constData() + 4), entry.localFlag));
    const qsizetype localName = Le16(header.constData() + 26), localExtra = Le16(header.constData() + 28);
    const QByteArray rest = header.size() >= 30 + localName + localExtra
                                ? header.mid(30, localName + localExtra)
                                : headers.Read(entry.localOffset + 30, localName + localExtra);
    // The UTF-8 flag may differ: it is set in place, one header at a time.
    if ((entry.localFlag ^ entry.centralFlag) & ~Utf8Flag)
        entry.Note(QStringLiteral("the local header of %1 disagrees with the directory").arg(name));
    if (rest.left(localName) != entry.name)
        entry.Note(QStringLiteral("the local header of %1 names another file").arg(name));
    // The method, and (without a data descriptor) the CRC and the sizes that
    // are not left to a ZIP64 field, as the directory has them.
    const auto differs = [&](int at, quint64 central) {
        const quint32 local = Le32(header.constData() + at);
        return local != 0xFFFFFFFF && local != central;
    };
    if (Le16(header.constData() + 8) != entry.centralMethod ||
        (!(entry.localFlag & 0x0008) &&
         (Le32(header.constData() + 14) != crc || differs(18, sizes.compressed) || differs(22, sizes.uncompressed))))
        entry.Note(QStringLiteral("the local header of %1 disagrees with the directory").arg(name));
    entry.dataStart = entry.localOffset + 30 + localName + localExtra;
    if (rest.size() != localName + localExtra || !ExtraFieldIsSound(rest.constData() + localName, localExtra))
        entry.Note(QStringLiteral("the local extra field of %1 is damaged").arg(name));
    else if (const QString problem = AttributesProblem(rest.constData() + localName, localExtra); !problem.isEmpty())
        entry.Note(QStringLiteral("%1: %2").arg(name, problem));
    entry.end = entry.localOffset + 30 + localName + localExtra +
                qint64(std::min<quint64>(sizes.compressed, quint64(fileSize)));
    if (entry.localFlag & 0x0008) {
        // A data descriptor follows the data: it must be there, and agree.
        const QByteArray descriptor = headers.Read(entry.end, 4 + 4 + 16);
        const qsizetype skip = descriptor.startsWith("PK\x07\x08") ? 4 : 0;
        if (descriptor.size() < skip + 12 || Le32(descriptor.constData() + skip) != crc)
            entry.Note(QStringLiteral("the data descriptor of %1 is damaged").arg(name));
        entry.end += skip + (sizes.compressed >= 0xFFFFFFFF || sizes.uncompressed >= 0xFFFFFFFF ? 20 : 12);
    }
}

// An entry's name as text. Marked as UTF-8, or given in a Unicode path
// field, it is UTF-8. Unmarked, it is in the code page of the system that
// wrote it: a Windows writer (MS-DOS, NTFS or VFAT as the system that made
// it) uses the system's code page, Windows-874 on Thai Windows, where
// Quillfold's hand-overs come from; any other (Info-ZIP's zip on Linux,
// Quillfold's own earlier archives) writes UTF-8 without marking it, so a
// name that is valid UTF-8 is taken as UTF-8 there. Whatever is not valid
// UTF-8 is read as Windows-874, in which every byte has a character of its
// own: no two names ever read alike.
QString NameText(const RawEntry& entry)
{
    const bool utf8 = QUtf8StringView(entry.name).isValidUtf8();
    if (utf8 && (entry.centralFlag & Utf8Flag))
        return QString::fromUtf8(entry.name);
    if (!entry.unicodeName.isEmpty())
        return QString::fromUtf8(entry.unicodeName);
    const bool windows = entry.madeBy == 0 || entry.madeBy == 11 || entry.madeBy == 14;
    return utf8 && !windows ? QString::fromUtf8(entry.name) : text::FromAnsi(entry.name);
}

// The central directory read straight from the file, with each entry's local
// header checked against it; ZIP64 records are followed where the sizes need
// them. A directory that cannot be read is error 1005; a damaged local header
// or extra field is that entry's problem only.
QList<RawEntry> RawEntries(platform::File& file, const QString& path, QString* warning = nullptr)
{
    const auto bad = [&](const QString& problem) { Unreadable(path, problem); };
    platform::FileStatus info;
    if (file.Status(info) != 0)
        bad(QStringLiteral("it cannot be read"));
    const qint64 size = info.size;
    const qint64 tailSize = std::min<qint64>(size, 22 + 65535);
    const QByteArray tail = ReadAt(file, size - tailSize, tailSize);
    const qsizetype end = tail.lastIndexOf(QByteArrayLiteral("PK\x05\x06"));
    if (end < 0 || tail.size() - end < 22)
        bad(QStringLiteral("no ZIP directory found"));
    quint64 count = Le16(tail.constData() + end + 10);
    quint64 directorySize = Le32(tail.constData() + end + 12);
    quint64 directoryOffset = Le32(tail.constData() + end + 16);
    const qint64 endOffset = size - tailSize + end;
    if (warning && Le16(tail.constData() + end + 20) != tail.size() - end - 22)
        *warning = QStringLiteral("the archive does not end where its end record says (its comment is damaged)");
    // One archive in one file: disk numbers 0, and all entries on that disk.
    const char* record = tail.constData() + end;
    bool split = Le16(record + 4) != 0 || Le16(record + 6) != 0 || Le16(record + 8) != Le16(record + 10);
    qint64 recordOffset = endOffset;  // of the record that follows the directory
    const bool needsZip64 = directorySize == 0xFFFFFFFF || directoryOffset == 0xFFFFFFFF;
    if (needsZip64 || count == 0xFFFF) {
        const QByteArray locator = ReadAt(file, endOffset - 20, 20);
        if (locator.size() == 20 && locator.startsWith("PK\x06\x07")) {
            recordOffset = qint64(std::min<quint64>(Le64(locator.constData() + 8), quint64(endOffset)));
            // Behind a stub, the record is where it lies: just before its locator.
            if (!StartsWith(file, recordOffset, "PK\x06\x06") && StartsWith(file, endOffset - 20 - 56, "PK\x06\x06"))
                recordOffset = endOffset - 20 - 56;
            const QByteArray record64 = ReadAt(file, recordOffset, 56);
            if (record64.size() != 56 || !record64.startsWith("PK\x06\x06"))
                bad(QStringLiteral("its ZIP64 directory is damaged"));
            const char* r = record64.constData();
            split = Le32(locator.constData() + 4) != 0 || Le32(locator.constData() + 16) > 1 || Le32(r + 16) != 0 ||
                    Le32(r + 20) != 0 || Le64(r + 24) != Le64(r + 32);
            count = Le64(r + 32);
            directorySize = Le64(r + 40);
            directoryOffset = Le64(r + 48);
        } else if (needsZip64) {
            bad(QStringLiteral("its ZIP64 directory is missing"));
        }
        // Otherwise 65,535 entries, which the end record holds as they are:
        // its ZIP64 copy is optional then, and some writers leave it out.
    }
    if (split)
        bad(QStringLiteral("it is one part of an archive split over several files"));
    // An archive behind other data (a self-extracting program's stub) records
    // its offsets from its own start, as unzip takes them too: its directory
    // ends where the record after it begins, and what lies before the
    // archive's start is the stub's.
    qint64 shift = 0;
    if (count > 0 && directorySize <= quint64(recordOffset) && directoryOffset < quint64(recordOffset) - directorySize &&
        !StartsWith(file, qint64(directoryOffset), "PK\x01\x02") &&
        StartsWith(file, recordOffset - qint64(directorySize), "PK\x01\x02")) {
        shift = recordOffset - qint64(directorySize) - qint64(directoryOffset);
        directoryOffset += quint64(shift);
        if (warning && warning->isEmpty())
            *warning = QStringLiteral("%1 bytes lie before the archive's start (a self-extracting program, perhaps); "
                                      "its entries were read where they lie").arg(shift);
    }
    if (directoryOffset > quint64(size) || directorySize > quint64(size) - directoryOffset ||
        directorySize > (quint64(1) << 30))
        bad(QStringLiteral("its directory lies outside the file"));
    if (directoryOffset + directorySize > quint64(recordOffset))  // it runs into the record after it
        bad(QStringLiteral("its directory is damaged"));
    const QByteArray directory = ReadAt(file, qint64(directoryOffset), qint64(directorySize));

    if (count > directorySize / 46)
        bad(QStringLiteral("its directory is damaged"));
    QList<RawEntry> entries;
    entries.reserve(qsizetype(count));  // at most one per 46 bytes of the directory read above
    ReadWindow headers(file);
    qsizetype at = 0;
    for (quint64 i = 0; i < count; ++i) {
        if (directory.size() - at < 46 || std::memcmp(directory.constData() + at, "PK\x01\x02", 4) != 0)
            bad(QStringLiteral("its directory is damaged"));
        const char* h = directory.constData() + at;
        const qsizetype nameLength = Le16(h + 28), extraLength = Le16(h + 30), commentLength = Le16(h + 32);
        if (directory.size() - at < 46 + nameLength + extraLength + commentLength)
            bad(QStringLiteral("its directory is damaged"));
        RawEntry entry;
        entry.name = directory.mid(at + 46, nameLength);
        entry.centralFlag = Le16(h + 8);
        entry.centralMethod = Le16(h + 10);
        entry.centralOffset = qint64(directoryOffset) + at;
        const char* extra = h + 46 + nameLength;
        entry.madeBy = quint8(Le16(h + 4) >> 8);
        entry.unicodeName = UnicodePath(extra, extraLength, entry.name);
        const QString name = NameText(entry);
        if (!ExtraFieldIsSound(extra, extraLength))
            entry.Note(QStringLiteral("the directory's extra field of %1 is damaged").arg(name));
        entry.Note(Unsupported(name, Le16(h + 6), entry.centralFlag));
        entry.sizes = Sizes{Le32(h + 24), Le32(h + 20), Le32(h + 42)};
        ReadZip64Field(extra, extraLength, entry.sizes);
        entry.sizes.local += quint64(shift);
        entry.crc = Le32(h + 16);
        CheckLocalHeader(headers, size, name, extraLength, entry);
        entries.push_back(std::move(entry));
        at += 46 + nameLength + extraLength + commentLength;
    }

    // No entry may reach into the next one, or into the directory.
    QList<RawEntry*> byOffset;
    for (RawEntry& entry : entries)
        byOffset << &entry;
    std::sort(byOffset.begin(), byOffset.end(),
              [](const RawEntry* a, const RawEntry* b) { return a->localOffset < b->localOffset; });
    for (qsizetype i = 0; i < byOffset.size(); ++i) {
        const qint64 next = i + 1 < byOffset.size() ? byOffset[i + 1]->localOffset : qint64(directoryOffset);
        if (byOffset[i]->end > next && byOffset[i]->problem.isEmpty()) {
            byOffset[i]->problem = QStringLiteral("%1 overlaps what follows it in the archive").arg(NameText(*byOffset[i]));
        }
    }
    return entries;
}

// Makes the end record's size of the central directory what it is: the
// distance from the directory to the record that follows it (the ZIP64 end
// record, or the end record).
void CorrectDirectorySize(platform::File& file, const QString& path)
{
    platform::FileStatus info;
    if (file.Status(info) != 0 || info.size < 22)
        return;
    const qint64 tailSize = std::min<qint64>(info.size, 22 + 65535);
    const QByteArray tail = ReadAt(file, info.size - tailSize, tailSize);
    const qsizetype end = tail.lastIndexOf(QByteArrayLiteral("PK\x05\x06"));
    if (end < 0 || tail.size() - end < 22)
        return;
    const qint64 endOffset = info.size - tailSize + end;
    const auto write = [&](qint64 offset, const char* bytes, qint64 size) {
        if (!file.WriteAt(bytes, size, offset))
            throw RuntimeError(err::DeviceIO, platform::ErrorText(errno), path);
    };
    const QByteArray locator = ReadAt(file, endOffset - 20, 20);
    if (locator.size() == 20 && locator.startsWith("PK\x06\x07")) {
        const qint64 recordOffset = qint64(Le64(locator.constData() + 8));
        const QByteArray record = ReadAt(file, recordOffset, 56);
        if (record.size() != 56 || !record.startsWith("PK\x06\x06"))
            return;
        const quint64 size = quint64(recordOffset) - Le64(record.constData() + 48);
        if (Le64(record.constData() + 40) != size && size < quint64(recordOffset)) {
            char bytes[8];
            qToLittleEndian<quint64>(size, bytes);
            write(recordOffset + 40, bytes, 8);
        }
        return;
    }
    const quint32 offset = Le32(tail.constData() + end + 16);
    const quint32 recorded = Le32(tail.constData() + end + 12);
    if (offset != 0xFFFFFFFF && quint64(offset) <= quint64(endOffset) && recorded != quint64(endOffset) - offset) {
        char bytes[4];
        qToLittleEndian<quint32>(quint32(endOffset - offset), bytes);
        write(endOffset + 12, bytes, 4);
    }
}

[[noreturn]] void Differs(const QString& path, const QString& difference)
{
    throw RuntimeError::Detailed(err::ArchiveCheckFailed, difference, path);
}
}  // namespace

platform::File OpenRegularFile(const QString& path, platform::FileStatus* status)
{
    int error = 0;
    platform::File file = platform::OpenForReading(path, error, status);
    if (file.IsOpen())
        return file;
    if (error == platform::NotRegularFile)
        throw RuntimeError::Detailed(err::PathFileAccess, platform::ErrorText(error), path);
    const int number = error == ENOENT   ? err::FileNotFound
                       : error == EACCES ? err::PermissionDenied
                                         : err::PathFileAccess;
    throw RuntimeError::Because(number, platform::ErrorText(error), path);
}

// The raw (compressed) bytes of an entry are read straight from the file and
// inflated here, so that the stream can be held to ending exactly where the
// directory says the entry ends.
struct EntryReader::Inflater {
    z_stream stream{};  // streaming only: set up when the entry is not inflated whole
    QByteArray input;   // likewise: compressed bytes on their way to zlib
    bool rawEnded = false;    // every compressed byte has been taken from the archive
    bool streamEnded = false; // the deflate stream has reached its end
    // An entry small enough is inflated whole, at the first read, by libdeflate
    // (about three times zlib's speed); the same checks hold.
    bool whole = false;
    bool inflated = false;  // then: into the archive's data buffer
    qsizetype served = 0;
};

namespace {
// Inflates the raw buffer into the data buffer (sized as the entry's
// recorded size): empty, or the problem. The stream must end exactly at the
// end of the raw bytes.
QString InflateWhole(ReadBuffers& buffers)
{
    const QByteArray& raw = buffers.raw;
    QByteArray& out = buffers.data;
    if (!buffers.inflater)
        buffers.inflater.reset(libdeflate_alloc_decompressor());
    if (!buffers.inflater)
        return QStringLiteral("out of memory");
    size_t in = 0, produced = 0;
    const libdeflate_result rc = libdeflate_deflate_decompress_ex(
        buffers.inflater.get(), raw.constData(), size_t(raw.size()), out.data(), size_t(out.size()), &in, &produced);
    if (rc == LIBDEFLATE_INSUFFICIENT_SPACE)
        return QStringLiteral("the entry holds more than its recorded size");
    if (rc != LIBDEFLATE_SUCCESS)
        return QStringLiteral("the entry's compressed data is invalid");
    if (in != size_t(raw.size()))
        return QStringLiteral("the entry's compressed data goes on after its end");
    out.truncate(qsizetype(produced));  // a short entry is caught by the size check at its end
    return {};
}

// Reads `compressed` bytes at `start` into the raw buffer, `tail` after them,
// and inflates them whole into the data buffer (`size` bytes long): empty, or
// the problem.
QString ReadAndInflate(ReadWindow& window, qint64 start, qint64 compressed, qint64 size, ReadBuffers& buffers,
                       const QByteArray& tail = {})
{
    QByteArray& raw = buffers.raw;
    raw.resize(qsizetype(compressed) + tail.size());
    if (window.Read(raw.data(), compressed, start) != compressed)
        return QStringLiteral("the archive ends inside the entry");
    std::memcpy(raw.data() + compressed, tail.constData(), size_t(tail.size()));
    buffers.data.resize(qsizetype(size));
    return InflateWhole(buffers);
}
}  // namespace

void ReadBuffers::FreeInflater::operator()(libdeflate_decompressor* inflater) const
{
    libdeflate_free_decompressor(inflater);
}

qint64 ReadWindow::Read(char* data, qint64 size, qint64 offset)
{
    constexpr qint64 Window = 256 * 1024;
    if (size > Window / 4)
        return ReadInto(m_file, data, size, offset);
    if (offset < m_start || offset + size > m_start + m_bytes.size()) {
        m_bytes.resize(Window);
        m_bytes.truncate(ReadInto(m_file, m_bytes.data(), Window, offset));
        m_start = offset;
    }
    const qint64 n = std::clamp<qint64>(m_start + m_bytes.size() - offset, 0, size);
    std::memcpy(data, m_bytes.constData() + (offset - m_start), size_t(n));
    return n;
}

QByteArray ReadWindow::Read(qint64 offset, qint64 size)
{
    QByteArray bytes(std::max<qint64>(size, 0), Qt::Uninitialized);
    bytes.truncate(Read(bytes.data(), bytes.size(), offset));
    return bytes;
}

bool InflatesWhole(const Entry& entry)
{
    return entry.method == Z_DEFLATED && entry.size <= WholeInflate && entry.compressed <= 2 * WholeInflate;
}

EntryReader::EntryReader(ReadWindow& window, qint64 rawStart, const Entry& entry, ReadBuffers& buffers)
    : m_window(window), m_buffers(buffers), m_rawStart(rawStart), m_entry(entry), m_crc(quint32(crc32(0L, Z_NULL, 0)))
{
    if (m_entry.method == Z_DEFLATED) {
        m_inflater = std::make_unique<Inflater>();
        m_inflater->whole = InflatesWhole(m_entry);
        if (!m_inflater->whole) {
            m_inflater->input = QByteArray(qsizetype(64 * 1024), Qt::Uninitialized);
            if (inflateInit2(&m_inflater->stream, -MAX_WBITS) != Z_OK)
                Fail(QStringLiteral("the entry cannot be inflated"));
        }
    } else if (m_entry.method != 0) {
        Fail(QStringLiteral("the entry is compressed with method %1, which this reader does not know").arg(m_entry.method));
    }
    // Unbuffered: every read reaches readData, so no failure can hide behind
    // data that was already handed out.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

EntryReader::~EntryReader()
{
    if (m_inflater && !m_inflater->whole)
        inflateEnd(&m_inflater->stream);
}

void EntryReader::Inflated(const QString& problem)
{
    Q_ASSERT(m_inflater && m_inflater->whole && !m_inflater->inflated);
    m_inflater->inflated = true;
    if (!problem.isEmpty())
        Fail(problem);
}

qint64 EntryReader::Fail(const QString& problem)
{
    if (!m_failed)
        setErrorString(problem);
    m_failed = true;
    m_intact = false;
    return -1;
}

qint64 EntryReader::ReadRaw(char* data, qint64 maxSize)
{
    const qint64 wanted = std::min(maxSize, m_entry.compressed - m_rawDone);
    const qint64 done = m_window.Read(data, wanted, m_rawStart + m_rawDone);
    if (done < wanted)
        return -1;  // the archive ends before the entry does
    m_rawDone += done;
    return done;
}

qint64 EntryReader::Produce(char* data, qint64 maxSize)
{
    const unsigned room = unsigned(std::min<qint64>(maxSize, BlockSize));
    if (!m_inflater) {  // stored: the raw bytes are the data
        const qint64 n = ReadRaw(data, room);
        return n < 0 ? Fail(QStringLiteral("the archive ends inside the entry")) : n;
    }
    Inflater& z = *m_inflater;
    if (z.whole) {
        if (!z.inflated) {
            z.inflated = true;
            if (const QString problem = ReadAndInflate(m_window, m_rawStart, m_entry.compressed, m_entry.size, m_buffers);
                !problem.isEmpty())
                return Fail(problem);
        }
        const QByteArray& inflated = m_buffers.data;
        const qint64 n = std::min<qint64>(room, inflated.size() - z.served);
        std::memcpy(data, inflated.constData() + z.served, size_t(n));
        z.served += n;
        return n;
    }
    while (!z.streamEnded) {
        if (z.stream.avail_in == 0 && !z.rawEnded) {
            const qint64 n = ReadRaw(z.input.data(), z.input.size());
            if (n < 0)
                return Fail(QStringLiteral("the archive ends inside the entry"));
            z.rawEnded = n == 0;
            z.stream.next_in = reinterpret_cast<Bytef*>(z.input.data());
            z.stream.avail_in = uInt(n);
        }
        z.stream.next_out = reinterpret_cast<Bytef*>(data);
        z.stream.avail_out = room;
        const int rc = inflate(&z.stream, Z_NO_FLUSH);
        const qint64 produced = room - z.stream.avail_out;
        if (rc == Z_STREAM_END)
            z.streamEnded = true;
        else if (rc != Z_OK && !(rc == Z_BUF_ERROR && produced == 0 && !z.rawEnded))
            return Fail(QStringLiteral("the entry's compressed data is invalid"));
        if (produced > 0)
            return produced;
        if (z.rawEnded && z.stream.avail_in == 0 && !z.streamEnded)
            return Fail(QStringLiteral("the entry's compressed data ends early"));
    }
    // The stream has ended: no compressed byte may be left over.
    if (z.stream.avail_in != 0 || m_rawDone != m_entry.compressed)
        return Fail(QStringLiteral("the entry's compressed data goes on after its end"));
    return 0;
}

qint64 EntryReader::readData(char* data, qint64 maxSize)
{
    if (m_failed)
        return -1;
    if (!m_open)
        return 0;
    const qint64 n = Produce(data, maxSize);
    if (n < 0)
        return -1;
    if (n > 0) {
        m_done += n;
        m_crc = libdeflate_crc32(m_crc, data, size_t(n));
        if (m_done > m_entry.size)
            return Fail(QStringLiteral("the entry holds more than its recorded size"));
        return n;
    }
    // The end: the whole entry, and nothing but it, with the recorded CRC.
    m_open = false;
    if (m_done != m_entry.size)
        return Fail(QStringLiteral("the entry ends after %1 of its %2 bytes").arg(m_done).arg(m_entry.size));
    if (m_crc != m_entry.crc)
        return Fail(QStringLiteral("the entry's data does not match its CRC"));
    m_intact = true;
    return 0;
}

ZipArchive::ZipArchive(const QString& path) : m_path(path), m_file(OpenRegularFile(path))
{
    const QList<RawEntry> raw = RawEntries(m_file, path, &m_warning);
    m_entries.reserve(raw.size());
    m_problems.reserve(raw.size());
    m_dataStarts.reserve(raw.size());
    for (const RawEntry& header : raw) {
        Entry entry;
        entry.rawName = header.name;
        entry.name = NameText(header);
        entry.size = qint64(header.sizes.uncompressed);
        entry.compressed = qint64(header.sizes.compressed);
        entry.crc = header.crc;
        entry.method = header.centralMethod;
        entry.utf8Flagged = header.centralFlag & header.localFlag & Utf8Flag;
        if (entry.size < 0 || entry.compressed < 0)
            Unreadable(path, QStringLiteral("the recorded size of %1 is impossible").arg(entry.name));
        m_entries.push_back(std::move(entry));
        m_problems << header.problem;
        m_dataStarts << header.dataStart;
    }
}

std::unique_ptr<ZipArchive> ZipArchive::Another() const
{
    std::unique_ptr<ZipArchive> another(new ZipArchive());
    another->m_path = m_path;
    another->m_file = OpenRegularFile(m_path);  // its entries are read through a window of its own
    another->m_entries = m_entries;
    another->m_problems = m_problems;
    another->m_dataStarts = m_dataStarts;
    another->m_warning = m_warning;
    return another;
}

ZipArchive::~ZipArchive() = default;

qint64 ZipArchive::DataStart(int index) const
{
    if (!m_problems.at(index).isEmpty())
        Unreadable(m_path, m_problems.at(index));
    return m_dataStarts.at(index);
}

std::unique_ptr<EntryReader> ZipArchive::Open(int index)
{
    return std::make_unique<EntryReader>(m_window, DataStart(index), m_entries.at(index), m_buffers);
}

QString ZipArchive::Inflate(int index, ReadBuffers& buffers)
{
    const Entry& entry = m_entries.at(index);
    return ReadAndInflate(m_window, DataStart(index), entry.compressed, entry.size, buffers);
}

std::unique_ptr<EntryReader> ZipArchive::OpenInflated(int index, ReadBuffers& inflated, const QString& problem)
{
    auto reader = std::make_unique<EntryReader>(m_window, DataStart(index), m_entries.at(index), inflated);
    reader->Inflated(problem);
    return reader;
}

QString ZipArchive::CheckPiece(qint64 start, const Piece& piece, bool last)
{
    // A piece that is not the last ends on a block that is not final: a final
    // empty block (fixed codes, end of block) is put after it, so that it
    // inflates on its own, and must be reached exactly at its end.
    const QByteArray finalBlock = last ? QByteArray() : QByteArray("\x03\x00", 2);
    if (QString problem = ReadAndInflate(m_window, start, piece.compressed, piece.size, m_buffers, finalBlock);
        !problem.isEmpty())
        return problem;
    const QByteArray& data = m_buffers.data;
    if (data.size() != piece.size || libdeflate_crc32(0, data.constData(), size_t(data.size())) != piece.crc)
        return QStringLiteral("the entry's data does not match its CRC");
    return {};
}

bool LooksLikeZip(const QString& path)
{
    int error = 0;
    platform::FileStatus status;
    platform::File file = platform::OpenForReading(path, error, &status);
    if (!file.IsOpen())
        return false;
    if (StartsWith(file, 0, "PK\x03\x04") || StartsWith(file, 0, "PK\x05\x06"))
        return true;
    // Behind other data (a self-extracting program): an end record whose
    // comment reaches exactly to the file's end, after a directory that
    // starts where the record says, or where it ends just before the record.
    const qint64 tailSize = std::min<qint64>(status.size, 22 + 65535);
    const QByteArray tail = ReadAt(file, status.size - tailSize, tailSize);
    const qsizetype end = tail.lastIndexOf(QByteArrayLiteral("PK\x05\x06"));
    if (end < 0 || tail.size() - end < 22 || Le16(tail.constData() + end + 20) != tail.size() - end - 22)
        return false;
    const qint64 endOffset = status.size - tailSize + end;
    const qint64 directorySize = Le32(tail.constData() + end + 12), directoryOffset = Le32(tail.constData() + end + 16);
    return StartsWith(file, directoryOffset, "PK\x01\x02") || StartsWith(file, endOffset - directorySize, "PK\x01\x02") ||
           StartsWith(file, endOffset - 20, "PK\x06\x07");
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

quint32 DosTime(time_t modified)
{
    std::tm local{};
    const time_t even = ZipDatable(time_t((modified + 1) & ~time_t(1)));
    if (!platform::LocalTime(even, local) || local.tm_year < 80)
        return (1 << 21) | (1 << 16);  // 1980-01-01 00:00:00
    if (local.tm_year > 207)
        return (127u << 25) | (12 << 21) | (31 << 16) | (23 << 11) | (59 << 5) | 29;
    return (quint32(local.tm_year - 80) << 25) | (quint32(local.tm_mon + 1) << 21) | (quint32(local.tm_mday) << 16) |
           (quint32(local.tm_hour) << 11) | (quint32(local.tm_min) << 5) | quint32(local.tm_sec / 2);
}

time_t ZipDatable(time_t modified)
{
    return std::min(modified, LatestDatable);
}

bool NeedsUtf8Flag(const QByteArray& name)
{
    const bool ascii = std::all_of(name.cbegin(), name.cend(), [](char c) { return quint8(c) < 0x80; });
    return !ascii && QUtf8StringView(name).isValidUtf8();
}

void MarkUtf8Names(const QString& path)
{
    int error = 0;
    platform::File file = platform::OpenForUpdate(path, error);
    if (!file.IsOpen())
        throw RuntimeError(err::NumberOfErrno(error), path);
    CorrectDirectorySize(file, path);
    for (const RawEntry& entry : RawEntries(file, path)) {
        if (!entry.problem.isEmpty())
            Unreadable(path, entry.problem);
        if (!NeedsUtf8Flag(entry.name))
            continue;
        for (const auto& [offset, flag] : {std::pair{entry.localOffset + 6, entry.localFlag},
                                           std::pair{entry.centralOffset + 8, entry.centralFlag}}) {
            const quint16 marked = flag | Utf8Flag;
            const char bytes[2] = {char(marked & 0xFF), char(marked >> 8)};
            if (!file.WriteAt(bytes, 2, offset))
                throw RuntimeError(err::DeviceIO, platform::ErrorText(errno), path);
        }
    }
}

void VerifyArchive(const QString& path, const QList<Expected>& expected)
{
    ZipArchive zip(path);
    if (!zip.Warning().isEmpty())
        Differs(path, zip.Warning());
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
    for (const Entry& entry : entries) {
        const Expected* want = wanted.value(entry.rawName);
        if (!want)
            Differs(path, QStringLiteral("%1 was not packed by this run").arg(entry.name));
        if (entry.size != want->size || entry.crc != want->crc)
            Differs(path, QStringLiteral("%1 differs from the package that was written").arg(entry.name));
        if (NeedsUtf8Flag(entry.rawName) && !entry.utf8Flagged)
            Differs(path, QStringLiteral("%1 is not marked as a UTF-8 name").arg(entry.name));
    }

    // Read the data back, on every core: only an entry read to its end with
    // the recorded size and CRC counts as intact. An entry written in pieces
    // is read piece by piece, each on any core: every piece must inflate on
    // its own to exactly its size and CRC and end exactly where the next
    // begins (the last with the stream's end), and together they must make
    // the whole entry, its size and CRC. The first failure, in the archive's
    // order, is the one reported.
    struct Unit {
        int entry = 0;
        int piece = -1;     // -1: the whole entry
        qint64 start = 0;   // a piece's, in the archive
        bool last = false;  // the entry's last piece
    };
    std::vector<Unit> units;
    for (int i = 0; i < entries.size(); ++i) {
        const QList<Piece>& pieces = wanted.value(entries[i].rawName)->pieces;
        if (pieces.isEmpty() || entries[i].method != Z_DEFLATED) {
            units.push_back(Unit{i});
            continue;
        }
        const qint64 dataStart = zip.DataStart(i);
        qint64 offset = 0, size = 0;
        quint32 crc = 0;
        for (int p = 0; p < pieces.size(); ++p) {
            units.push_back(Unit{i, p, dataStart + offset, p + 1 == pieces.size()});
            offset += pieces[p].compressed;
            size += pieces[p].size;
            crc = quint32(crc32_combine(crc, pieces[p].crc, z_off_t(pieces[p].size)));  // a piece is 1 MiB
        }
        if (offset != entries[i].compressed || size != entries[i].size || crc != entries[i].crc)
            Differs(path, QStringLiteral("%1 differs from the package that was written").arg(entries[i].name));
    }
    // Each thread takes the next unit not yet taken, so that however many
    // threads start, every unit is checked.
    std::vector<std::exception_ptr> failures(units.size());  // each thread writes only its own units'
    std::atomic<size_t> next{0};
    std::atomic<bool> handleTaken{false};
    const auto check = [&] {
        // One thread reads through the archive's own handle, the others
        // through handles of their own; one that gets none (no descriptor
        // left) leaves the work to the others.
        std::unique_ptr<ZipArchive> another;
        if (handleTaken.exchange(true)) {
            try {
                another = zip.Another();
            } catch (const RuntimeError&) {
                return;
            }
        }
        ZipArchive& archive = another ? *another : zip;
        QByteArray block(BlockSize, Qt::Uninitialized);
        for (size_t u; (u = next++) < units.size();) {
            try {
                const Unit& unit = units[u];
                const Entry& entry = entries[unit.entry];
                QString problem;
                if (unit.piece >= 0) {
                    problem = archive.CheckPiece(unit.start, wanted.value(entry.rawName)->pieces[unit.piece], unit.last);
                } else {
                    const std::unique_ptr<EntryReader> data = archive.Open(unit.entry);
                    while (data->read(block.data(), block.size()) > 0)
                        ending::ThrowIfRequested();
                    if (!data->intact())
                        problem = data->errorString();
                }
                ending::ThrowIfRequested();
                if (!problem.isEmpty())
                    Differs(path, QStringLiteral("%1 cannot be read back: %2").arg(entry.name, problem));
            } catch (...) {
                failures[u] = std::current_exception();
                next = units.size();  // the others stop at their next unit
            }
        }
    };
    OnEveryCore(Parallel::Threads(qsizetype(units.size()), 16), check);
    for (const std::exception_ptr& failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
}

}  // namespace archive
