#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// Reads package files back: the recipient's side of security::WritePackageFile.
namespace security {

// What a package header says, and what the package holds.
struct PackageInfo {
    qint64 declaredLength = 0;  // the length field
    qint64 bodyLength = 0;      // the bytes after the header
    QByteArray userID;          // deciphered, Windows-874 bytes
    QByteArray digest;          // the password's MD5 digest text, deciphered

    bool LengthMatches() const { return declaredLength == bodyLength; }
    QString UserIDText() const;
};

// Decodes a 57-byte header of a package that is `packageSize` bytes long.
// Malformed input (fewer than 57 bytes, a length field that is not 1 to 10
// digits, a digest field that is not 32 hex digits and 3 blanks) is run-time
// error 1004 naming the problem.
//
// The user ID's padding is removed as the writer added it: trailing blanks of
// the enciphered field. A user ID whose last character enciphers to a blank
// (possible for '@', '`', '{', '|', '}' and '~') therefore reads one character
// shorter; the format itself cannot tell the two apart.
PackageInfo DecodeHeader(const QByteArray& header, qint64 packageSize);

// Reads the header from the device (positioned at the package's start) and
// decodes it; packageSize is the whole package's size.
PackageInfo ReadHeader(QIODevice& package, qint64 packageSize);

// True if the password, trimmed and upper-cased as the credentials dialog does,
// has the digest stored in the header. A password with characters outside the
// Thai code page is run-time error 5.
bool PasswordMatches(const PackageInfo& info, const QString& password);

// The extension the restored workbook gets, from its first bytes: ".xls" for a
// compound file, ".xlsx" for a ZIP container, ".bin" for anything else.
QString ExtensionFor(const QByteArray& bodyStart);

}  // namespace security
