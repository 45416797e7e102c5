#include "Directory.h"

#include "ZipReader.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "format/Zip.h"

#include <QUtf8StringView>

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>

namespace archive {
using namespace zipformat;

namespace {
// The extra field's blocks, each with its id and what it holds (cut to the field).
template <typename Visit>
void ForEachBlock(const char* extra, qsizetype length, Visit visit)
{
    for (qsizetype at = 0; length - at >= ExtraBlockHeader; at += ExtraBlockHeader + Le16(extra + at + 2)) {
        const qsizetype size = std::min<qsizetype>(Le16(extra + at + 2), length - at - ExtraBlockHeader);
        if (!visit(Le16(extra + at), extra + at + ExtraBlockHeader, size))
            return;
    }
}

// The name in an entry's Unicode path field (as Info-ZIP's zip on Windows
// writes one beside a name in the code page), if it has one that is meant
// for this very name (its CRC-32 matches) and is UTF-8; else empty.
QByteArray UnicodePath(const char* extra, qsizetype length, const QByteArray& name)
{
    QByteArray unicode;
    ForEachBlock(extra, length, [&](quint16 id, const char* block, qsizetype size) {
        if (id != UnicodePathExtra || size < 5 || block[0] != 1 ||
            Le32(block + 1) != libdeflate_crc32(0, name.constData(), size_t(name.size())))
            return true;
        unicode = QByteArray(block + 5, size - 5);
        if (!QUtf8StringView(unicode).isValidUtf8())
            unicode.clear();
        return false;
    });
    return unicode;
}

// True if an extra field is a clean sequence of blocks, each within it.
bool ExtraFieldIsSound(const char* extra, qsizetype length)
{
    qsizetype at = 0;
    while (length - at >= ExtraBlockHeader)
        at += ExtraBlockHeader + Le16(extra + at + 2);
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
    case SecurityDescriptorExtra: return SecurityDescriptorVersionAt + 1;
    default: return 0;
    }
}

// What is wrong with the compressed attributes in a local extra field, if
// anything: each such block is held to what unzip -t checks (its size, its
// method, its data, its CRC). Attributes this reader cannot read (a Mac, BeOS
// or VMS block) are refused; Quillfold writes none of them.
QString AttributesProblem(const char* extra, qsizetype length)
{
    QString problem;
    ForEachBlock(extra, length, [&](quint16 id, const char* block, qsizetype size) {
        if (id == 0x334d || id == 0x6542 || id == 0x7441 || id == 0x000c) {
            problem = QStringLiteral("it carries attributes this reader cannot check");
            return false;
        }
        const int offset = AttributesOffset(id);
        if (offset == 0)
            return true;
        if (size < offset + 6) {
            if (size > 4)
                problem = QStringLiteral("its extended attributes are cut short");
            return false;
        }
        if (id == SecurityDescriptorExtra && block[SecurityDescriptorVersionAt] != 0) {
            problem = QStringLiteral("its security descriptor is of unknown version %1").arg(quint8(block[SecurityDescriptorVersionAt]));
            return false;
        }
        const quint32 expected = Le32(block);  // their uncompressed size
        const quint16 method = Le16(block + offset);
        const quint32 crc = Le32(block + offset + 2);
        const QByteArray packed(block + offset + 6, size - offset - 6);
        QByteArray attributes;
        if (method == Stored) {
            attributes = packed;
        } else if (method == Deflated) {
            attributes.resize(qsizetype(expected));
            z_stream z{};
            if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
                problem = QStringLiteral("its extended attributes cannot be inflated");
                return false;
            }
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.constData()));
            z.avail_in = uInt(packed.size());
            z.next_out = reinterpret_cast<Bytef*>(attributes.data());
            z.avail_out = uInt(attributes.size());
            const int rc = inflate(&z, Z_FINISH);
            const bool ended = rc == Z_STREAM_END && z.total_out == expected;
            inflateEnd(&z);
            if (!ended) {
                problem = QStringLiteral("its extended attributes are not valid compressed data");
                return false;
            }
        } else {
            problem = QStringLiteral("its extended attributes are compressed with method %1").arg(method);
            return false;
        }
        if (quint32(attributes.size()) != expected ||
            libdeflate_crc32(0, attributes.constData(), size_t(attributes.size())) != crc) {
            problem = QStringLiteral("its extended attributes do not match their CRC");
            return false;
        }
        return true;
    });
    return problem;
}

// What makes an entry one this reader will not take, if anything: a newer
// format than ZIP 4.6 (ZIP64 is 4.5), or encryption, which Quillfold never uses.
QString Unsupported(const QString& name, quint16 versionNeeded, quint16 flag)
{
    if (const int version = versionNeeded & 0xFF; version > NewestKnownVersion)
        return QStringLiteral("%1 needs ZIP version %2.%3").arg(name).arg(version / 10).arg(version % 10);
    if (flag & (EncryptedFlag | StrongEncryptionFlag | EncryptedDirectoryFlag))
        return QStringLiteral("%1 is encrypted").arg(name);
    return {};
}

// Takes what overflowed 32 bits (Max32 in the directory) from the ZIP64
// extra field, which holds such values in this order.
void ReadZip64Field(const char* extra, qsizetype extraLength, Sizes& sizes)
{
    ForEachBlock(extra, extraLength, [&](quint16 id, const char* block, qsizetype size) {
        if (id != Zip64Extra)
            return true;
        qsizetype field = 0;
        for (quint64* value : {&sizes.uncompressed, &sizes.compressed, &sizes.local}) {
            if (*value == Max32 && field + 8 <= size) {
                *value = Le64(block + field);
                field += 8;
            }
        }
        return false;
    });
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
    const QByteArray header = headers.Read(entry.localOffset, local::FixedSize + entry.name.size() + extraGuess + 64);
    if (header.size() < local::FixedSize || !StartsWithSignature(header, LocalHeaderSignature)) {
        entry.Note(QStringLiteral("the local header of %1 is damaged").arg(name));
        return;
    }
    const char* h = header.constData();
    entry.localFlag = Le16(h + local::Flag);
    entry.Note(Unsupported(name, Le16(h + local::VersionNeeded), entry.localFlag));
    const qsizetype localName = Le16(h + local::NameLength), localExtra = Le16(h + local::ExtraLength);
    const QByteArray rest = header.size() >= local::FixedSize + localName + localExtra
                                ? header.mid(local::FixedSize, localName + localExtra)
                                : headers.Read(entry.localOffset + local::FixedSize, localName + localExtra);
    // The UTF-8 flag may differ: it is set in place, one header at a time.
    if ((entry.localFlag ^ entry.centralFlag) & ~Utf8Flag)
        entry.Note(QStringLiteral("the local header of %1 disagrees with the directory").arg(name));
    if (rest.left(localName) != entry.name)
        entry.Note(QStringLiteral("the local header of %1 names another file").arg(name));
    // The method, and (without a data descriptor) the CRC and the sizes that
    // are not left to a ZIP64 field, as the directory has them.
    const auto differs = [&](int at, quint64 central) {
        const quint32 value = Le32(h + at);
        return value != Max32 && value != central;
    };
    if (Le16(h + local::Method) != entry.centralMethod ||
        (!(entry.localFlag & DataDescriptorFlag) &&
         (Le32(h + local::Crc) != crc || differs(local::Compressed, sizes.compressed) ||
          differs(local::Size, sizes.uncompressed))))
        entry.Note(QStringLiteral("the local header of %1 disagrees with the directory").arg(name));
    entry.dataStart = entry.localOffset + local::FixedSize + localName + localExtra;
    if (rest.size() != localName + localExtra || !ExtraFieldIsSound(rest.constData() + localName, localExtra))
        entry.Note(QStringLiteral("the local extra field of %1 is damaged").arg(name));
    else if (const QString problem = AttributesProblem(rest.constData() + localName, localExtra); !problem.isEmpty())
        entry.Note(QStringLiteral("%1: %2").arg(name, problem));
    entry.end = entry.dataStart + qint64(std::min<quint64>(sizes.compressed, quint64(fileSize)));
    if (entry.localFlag & DataDescriptorFlag) {
        // A data descriptor follows the data: it must be there, and agree.
        const QByteArray descriptor = headers.Read(entry.end, 4 + descriptor::Size64);
        const qsizetype skip = StartsWithSignature(descriptor, DataDescriptorSignature) ? 4 : 0;
        if (descriptor.size() < skip + descriptor::Size32 || Le32(descriptor.constData() + skip + descriptor::Crc) != crc)
            entry.Note(QStringLiteral("the data descriptor of %1 is damaged").arg(name));
        entry.end += skip + (sizes.compressed >= Max32 || sizes.uncompressed >= Max32 ? descriptor::Size64 : descriptor::Size32);
    }
}
}  // namespace

void Unreadable(const QString& path, const QString& problem)
{
    throw RuntimeError::Detailed(err::BadArchive, problem, path);
}

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

bool SignatureAt(platform::File& file, qint64 offset, quint32 signature)
{
    char bytes[4];
    return offset >= 0 && ReadInto(file, bytes, 4, offset) == 4 && IsSignature(bytes, signature);
}

bool EndRecord::CommentFits() const
{
    return bytes.size() >= end::FixedSize && Le16(bytes.constData() + end::CommentLength) == bytes.size() - end::FixedSize;
}

EndRecord FindEndRecord(platform::File& file, qint64 fileSize)
{
    EndRecord record;
    const qint64 tailSize = std::min<qint64>(fileSize, end::FixedSize + end::LongestComment);
    const QByteArray tail = ReadAt(file, fileSize - tailSize, tailSize);
    const qsizetype at = tail.lastIndexOf(SignatureBytes(EndSignature));
    if (at >= 0 && tail.size() - at >= end::FixedSize) {
        record.offset = fileSize - tailSize + at;
        record.bytes = tail.mid(at);
    }
    return record;
}

QString NameText(const RawEntry& entry)
{
    const bool utf8 = QUtf8StringView(entry.name).isValidUtf8();
    if (utf8 && (entry.centralFlag & Utf8Flag))
        return QString::fromUtf8(entry.name);
    if (!entry.unicodeName.isEmpty())
        return QString::fromUtf8(entry.unicodeName);
    return utf8 && !WindowsHost(entry.madeBy) ? QString::fromUtf8(entry.name) : text::FromAnsi(entry.name);
}

QList<RawEntry> ReadDirectory(platform::File& file, const QString& path, QString* warning)
{
    const auto bad = [&](const QString& problem) { Unreadable(path, problem); };
    platform::FileStatus info;
    if (file.Status(info) != 0)
        bad(QStringLiteral("it cannot be read"));
    const qint64 size = info.size;
    const EndRecord last = FindEndRecord(file, size);
    if (last.offset < 0)
        bad(QStringLiteral("no ZIP directory found"));
    const char* record = last.bytes.constData();
    quint64 count = Le16(record + end::Entries);
    quint64 directorySize = Le32(record + end::DirectorySize);
    quint64 directoryOffset = Le32(record + end::DirectoryOffset);
    const qint64 endOffset = last.offset;
    if (warning && !last.CommentFits())
        *warning = QStringLiteral("the archive does not end where its end record says (its comment is damaged)");
    // One archive in one file: disk numbers 0, and all entries on that disk.
    bool split = Le16(record + end::Disk) != 0 || Le16(record + end::DirectoryDisk) != 0 ||
                 Le16(record + end::DiskEntries) != Le16(record + end::Entries);
    qint64 recordOffset = endOffset;  // of the record that follows the directory
    const bool needsZip64 = directorySize == Max32 || directoryOffset == Max32;
    if (needsZip64 || count == MaxEntries16) {
        const qint64 locatorOffset = endOffset - zip64locator::FixedSize;
        const QByteArray locator = ReadAt(file, locatorOffset, zip64locator::FixedSize);
        if (locator.size() == zip64locator::FixedSize && StartsWithSignature(locator, Zip64LocatorSignature)) {
            const char* l = locator.constData();
            recordOffset = qint64(std::min<quint64>(Le64(l + zip64locator::RecordOffset), quint64(endOffset)));
            // Behind a stub, the record is where it lies: just before its locator.
            if (!SignatureAt(file, recordOffset, Zip64EndSignature) &&
                SignatureAt(file, locatorOffset - zip64end::FixedSize, Zip64EndSignature))
                recordOffset = locatorOffset - zip64end::FixedSize;
            const QByteArray record64 = ReadAt(file, recordOffset, zip64end::FixedSize);
            if (record64.size() != zip64end::FixedSize || !StartsWithSignature(record64, Zip64EndSignature))
                bad(QStringLiteral("its ZIP64 directory is damaged"));
            const char* r = record64.constData();
            split = Le32(l + zip64locator::RecordDisk) != 0 || Le32(l + zip64locator::Disks) > 1 ||
                    Le32(r + zip64end::Disk) != 0 || Le32(r + zip64end::DirectoryDisk) != 0 ||
                    Le64(r + zip64end::DiskEntries) != Le64(r + zip64end::Entries);
            count = Le64(r + zip64end::Entries);
            directorySize = Le64(r + zip64end::DirectorySize);
            directoryOffset = Le64(r + zip64end::DirectoryOffset);
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
        !SignatureAt(file, qint64(directoryOffset), CentralHeaderSignature) &&
        SignatureAt(file, recordOffset - qint64(directorySize), CentralHeaderSignature)) {
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

    if (count > directorySize / central::FixedSize)
        bad(QStringLiteral("its directory is damaged"));
    QList<RawEntry> entries;
    entries.reserve(qsizetype(count));  // at most one per 46 bytes of the directory read above
    ReadWindow headers(file);
    qsizetype at = 0;
    for (quint64 i = 0; i < count; ++i) {
        if (directory.size() - at < central::FixedSize || !IsSignature(directory.constData() + at, CentralHeaderSignature))
            bad(QStringLiteral("its directory is damaged"));
        const char* h = directory.constData() + at;
        const qsizetype nameLength = Le16(h + central::NameLength), extraLength = Le16(h + central::ExtraLength),
                        commentLength = Le16(h + central::CommentLength);
        if (directory.size() - at < central::FixedSize + nameLength + extraLength + commentLength)
            bad(QStringLiteral("its directory is damaged"));
        RawEntry entry;
        entry.name = directory.mid(at + central::FixedSize, nameLength);
        entry.centralFlag = Le16(h + central::Flag);
        entry.centralMethod = Le16(h + central::Method);
        entry.centralOffset = qint64(directoryOffset) + at;
        const char* extra = h + central::FixedSize + nameLength;
        entry.madeBy = quint8(Le16(h + central::MadeBy) >> 8);
        entry.unicodeName = UnicodePath(extra, extraLength, entry.name);
        const QString name = NameText(entry);
        if (!ExtraFieldIsSound(extra, extraLength))
            entry.Note(QStringLiteral("the directory's extra field of %1 is damaged").arg(name));
        entry.Note(Unsupported(name, Le16(h + central::VersionNeeded), entry.centralFlag));
        entry.sizes = Sizes{Le32(h + central::Size), Le32(h + central::Compressed), Le32(h + central::LocalOffset)};
        ReadZip64Field(extra, extraLength, entry.sizes);
        entry.sizes.local += quint64(shift);
        entry.crc = Le32(h + central::Crc);
        CheckLocalHeader(headers, size, name, extraLength, entry);
        entries.push_back(std::move(entry));
        at += central::FixedSize + nameLength + extraLength + commentLength;
    }

    // No entry may reach into the next one, or into the directory.
    QList<RawEntry*> byOffset;
    for (RawEntry& entry : entries)
        byOffset << &entry;
    std::sort(byOffset.begin(), byOffset.end(),
              [](const RawEntry* a, const RawEntry* b) { return a->localOffset < b->localOffset; });
    for (qsizetype i = 0; i < byOffset.size(); ++i) {
        const qint64 next = i + 1 < byOffset.size() ? byOffset[i + 1]->localOffset : qint64(directoryOffset);
        if (byOffset[i]->end > next && byOffset[i]->problem.isEmpty())
            byOffset[i]->problem = QStringLiteral("%1 overlaps what follows it in the archive").arg(NameText(*byOffset[i]));
    }
    return entries;
}

}  // namespace archive
