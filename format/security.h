#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QIODevice;

// The package file: a 57-byte header, then the source's bytes each XOR-ed with 0x02.
//
//   offset  size  field
//        0    10  length text (decimal), enciphered, padded with blanks
//       10    12  user ID, enciphered, padded with blanks
//       22    35  MD5 digest text of the password, enciphered (32 bytes), 3 blanks
//       57     N  body
//
// Recipients read this layout byte for byte; it must never change.
namespace security {

constexpr int LengthFieldWidth = 10;
constexpr int UserFieldWidth = 12;
constexpr int DigestFieldWidth = 35;
constexpr int HeaderSize = LengthFieldWidth + UserFieldWidth + DigestFieldWidth;
// The length field holds a signed 32-bit count: sources must be smaller than this.
constexpr qint64 MaxSourceSize = Q_INT64_C(2147483648);

// Each byte XOR 0x02. Texts are counted in 16 bits, so 32767 bytes or more is error 6.
QByteArray ScrambleText(const QByteArray& text);
// The same transform, in place, for the streamed body.
void ScrambleBlock(char* data, qsizetype size) noexcept;

// The 57 header bytes for a body of `bodyLength` bytes. The user ID and password
// are used as given: the caller has trimmed and upper-cased them.
QByteArray PackageHeader(qint64 bodyLength, const QByteArray& userID, const QByteArray& password);

// Called after each block with the number of body bytes done so far. It may
// throw to stop the work (the program is being ended, say).
using Progress = std::function<void(qint64 bytesDone)>;

// Writes `prefix` as it is, then exactly `length` bytes from `source`,
// scrambled, in large blocks. The paths only name the files in a run-time
// error: 57 for a failed read or write, 61 for a full disk (or a file too large
// for it), 62 when the source ends early. With `crc`, the CRC-32 of everything
// written, prefix included, is stored there.
void WritePackageBody(QIODevice& source, qint64 length, QIODevice& package, const QString& sourcePath,
                      const QString& packagePath, const QByteArray& prefix = {}, const Progress& progress = {},
                      quint32* crc = nullptr);

// What was written: the package's size and, when asked for, its CRC-32 as a
// ZIP archive records it.
struct PackageWritten {
    qint64 size = 0;
    quint32 crc = 0;
};
enum class WithCrc { No, Yes };

// Writes the package file for one source. The package is built under a short
// temporary name beside its final one (never through a symbolic link, with
// the mode any new file gets) and replaces what is at its path only when it is
// complete; on any failure a run-time error is thrown and nothing new is left.
// The source is only ever read, and only if it is a regular file: a missing
// source is error 53, an unreadable one 70, a folder, pipe or device 75, one
// of 2 GiB or more error 6. The package is dated as the source.
PackageWritten WritePackageFile(const QString& sourcePath, const QString& packagePath, const QByteArray& userID,
                                const QByteArray& password, const Progress& progress = {},
                                WithCrc withCrc = WithCrc::No);

}  // namespace security
