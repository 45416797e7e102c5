#pragma once

#include <QByteArray>
#include <QtEndian>

#include <ctime>

// The ZIP format as the writer and the reader of this program both speak it:
// the records' signatures, where each field lies in them, the flags, methods
// and systems that matter here, and the MS-DOS date an entry carries. Every
// offset is counted from the start of its record.
namespace zipformat {

// A record's signature, and whether `bytes` begins with it.
constexpr quint32 LocalHeaderSignature = 0x04034b50;     // "PK\3\4"
constexpr quint32 DataDescriptorSignature = 0x08074b50;  // "PK\7\8"
constexpr quint32 CentralHeaderSignature = 0x02014b50;   // "PK\1\2"
constexpr quint32 Zip64EndSignature = 0x06064b50;        // "PK\6\6"
constexpr quint32 Zip64LocatorSignature = 0x07064b50;    // "PK\6\7"
constexpr quint32 EndSignature = 0x06054b50;             // "PK\5\6"
inline bool IsSignature(const char* bytes, quint32 signature)
{
    return qFromLittleEndian<quint32>(bytes) == signature;
}
inline bool StartsWithSignature(const QByteArray& bytes, quint32 signature)
{
    return bytes.size() >= 4 && IsSignature(bytes.constData(), signature);
}
// The four bytes, as they stand in a file.
inline QByteArray SignatureBytes(quint32 signature)
{
    char bytes[4];
    qToLittleEndian<quint32>(signature, bytes);
    return QByteArray(bytes, 4);
}

// The local header before each entry's data: its fixed part, then the name
// and the extra field.
namespace local {
constexpr int VersionNeeded = 4, Flag = 6, Method = 8, DosTime = 10, Crc = 14, Compressed = 18, Size = 22,
              NameLength = 26, ExtraLength = 28;
constexpr int FixedSize = 30;
}  // namespace local

// A central header in the directory: its fixed part, then the name, the
// extra field and the comment.
namespace central {
constexpr int MadeBy = 4, VersionNeeded = 6, Flag = 8, Method = 10, DosTime = 12, Crc = 16, Compressed = 20,
              Size = 24, NameLength = 28, ExtraLength = 30, CommentLength = 32, Disk = 34, InternalAttributes = 36,
              ExternalAttributes = 38, LocalOffset = 42;
constexpr int FixedSize = 46;
}  // namespace central

// The data descriptor after an entry's data, when its flag says so: a
// signature (most writers put one), the CRC, then the sizes in 4 or 8 bytes.
namespace descriptor {
constexpr int Crc = 0;  // counted after the signature, if there is one
constexpr int Size32 = 12, Size64 = 20;
}  // namespace descriptor

// The end record, last in the archive before its comment.
namespace end {
constexpr int Disk = 4, DirectoryDisk = 6, DiskEntries = 8, Entries = 10, DirectorySize = 12, DirectoryOffset = 16,
              CommentLength = 20;
constexpr int FixedSize = 22;
constexpr int LongestComment = 65535;
}  // namespace end

// The ZIP64 end record and its locator, just before the end record.
namespace zip64end {
constexpr int RecordSize = 4, MadeBy = 12, VersionNeeded = 14, Disk = 16, DirectoryDisk = 20, DiskEntries = 24,
              Entries = 32, DirectorySize = 40, DirectoryOffset = 48;
constexpr int FixedSize = 56;
}  // namespace zip64end
namespace zip64locator {
constexpr int RecordDisk = 4, RecordOffset = 8, Disks = 16;
constexpr int FixedSize = 20;
}  // namespace zip64locator

// A field's value that does not fit and is given in the ZIP64 extra field.
constexpr quint64 Max32 = 0xFFFFFFFF;
constexpr quint64 MaxEntries16 = 0xFFFF;

// General purpose flags.
constexpr quint16 EncryptedFlag = 0x0001;
constexpr quint16 DataDescriptorFlag = 0x0008;   // CRC and sizes follow the data
constexpr quint16 StrongEncryptionFlag = 0x0040;
constexpr quint16 Utf8Flag = 0x0800;             // the name (and comment) are UTF-8
constexpr quint16 EncryptedDirectoryFlag = 0x2000;
// A deflated entry's two option bits: how hard it was deflated.
constexpr quint16 MaximumFlag = 0x0002;  // zip -8 and -9
constexpr quint16 FastFlag = 0x0004;     // zip -1 and -2
constexpr quint16 DeflateOptionFlags(int level)
{
    return level >= 8 ? MaximumFlag : level >= 1 && level <= 2 ? FastFlag : 0;
}

// Methods, and the versions of the format that entries need.
constexpr quint16 Stored = 0;
constexpr quint16 Deflated = 8;
constexpr quint16 PlainVersion = 20;   // ZIP 2.0: deflate
constexpr quint16 Zip64Version = 45;   // ZIP 4.5: ZIP64
constexpr quint16 NewestKnownVersion = 46;

// Extra field blocks: an id, the size of what follows, then that.
constexpr int ExtraBlockHeader = 4;
constexpr quint16 Zip64Extra = 0x0001;
constexpr quint16 UnicodePathExtra = 0x7075;  // Info-ZIP's: version, the name's CRC-32, the name in UTF-8
// Windows' security descriptor, compressed: its size, a format version (only
// 0 is known), then method, CRC-32 and data. Windows' zip stores one by default.
constexpr quint16 SecurityDescriptorExtra = 0x4453;
constexpr int SecurityDescriptorVersionAt = 4;

// The system that wrote an entry: the high byte of "version made by".
constexpr quint8 MsDosHost = 0, UnixHost = 3, NtfsHost = 11, VfatHost = 14;
// True for the systems whose names, when not marked as UTF-8, are in the
// system's code page (Windows writes these).
inline bool WindowsHost(quint8 host)
{
    return host == MsDosHost || host == NtfsHost || host == VfatHost;
}

// An entry's date as ZIP archives hold it (MS-DOS date and time, local),
// made as Info-ZIP zip makes it: an odd second rounded up to the next even
// one, a moment before 1980 as 1980-01-01 00:00:00, and one after the last
// that every way of packing can date (ZipDatable) as that one, so that both
// ways, on both systems, date their entries alike.
quint32 DosTime(time_t modified);
// The last moment that every way of packing dates alike: 2106-02-07 06:28:14
// UTC. ZIP itself reaches 2107-12-31 23:59:58 (local); Windows' zip.exe
// counts seconds in 32 unsigned bits and dates anything past 2106-02-07
// 06:28:15 as 1980, as zip does anything past 2107 on any system.
constexpr time_t LatestDatable = time_t(4294967294);
// A moment past LatestDatable as that moment; any other as it is. A package
// file is dated so before zip adds it, as quillfold-pack dates its entry.
time_t ZipDatable(time_t modified);

// True if a name needs the UTF-8 flag: not plain ASCII, and valid UTF-8.
bool NeedsUtf8Flag(const QByteArray& name);

// One independently deflated piece of an entry, as the engine writes large
// ones: its stream ends on a block boundary (not final, except the last
// piece's), so that the read-back can inflate each on its own.
struct Piece {
    qint64 compressed = 0;
    qint64 size = 0;
    quint32 crc = 0;
};

// Little-endian fields read from a record.
inline quint16 Le16(const char* p)
{
    return qFromLittleEndian<quint16>(p);
}
inline quint32 Le32(const char* p)
{
    return qFromLittleEndian<quint32>(p);
}
inline quint64 Le64(const char* p)
{
    return qFromLittleEndian<quint64>(p);
}

}  // namespace zipformat
