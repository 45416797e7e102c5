#include "PackageReader.h"

#include "Zip.h"

#include "security.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "credentials/clsCrypt.h"
#include "credentials/mdlMD5.h"

#include <QIODevice>

namespace security {
namespace {
[[noreturn]] void Malformed(const QString& problem)
{
    throw RuntimeError::Detailed(err::BadPackage, problem, QString());
}

QByteArray WithoutTrailingBlanks(QByteArray field)
{
    while (field.endsWith(' '))
        field.chop(1);
    return field;
}

bool IsHexDigest(const QByteArray& digest)
{
    if (digest.size() != 32)
        return false;
    for (char c : digest) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}
}  // namespace

QString PackageInfo::UserIDText() const
{
    return text::FromAnsi(userID);
}

PackageInfo DecodeHeader(const QByteArray& header, qint64 packageSize)
{
    if (header.size() < HeaderSize || packageSize < HeaderSize) {
        Malformed(QStringLiteral("it is %1 bytes long, shorter than the %2-byte header")
                      .arg(std::min<qint64>(header.size(), packageSize))
                      .arg(HeaderSize));
    }
    const clsCrypt crypt;
    PackageInfo info;

    // Enciphered digits are never blanks, so the length field's padding is exact.
    const QByteArray length = crypt.DeCrypt(WithoutTrailingBlanks(header.left(LengthFieldWidth)));
    if (length.isEmpty())
        Malformed(QStringLiteral("the length field is blank"));
    for (char c : length) {
        if (c < '0' || c > '9')
            Malformed(QStringLiteral("the length field does not hold 1 to 10 digits"));
    }
    if (length.size() > 1 && length.startsWith('0'))
        Malformed(QStringLiteral("the length field has a leading zero"));
    info.declaredLength = length.toLongLong();
    if (info.declaredLength >= MaxSourceSize)
        Malformed(QStringLiteral("the length field holds %1, more than a package can hold")
                      .arg(QString::fromLatin1(length)));

    info.userID = crypt.DeCrypt(WithoutTrailingBlanks(header.mid(LengthFieldWidth, UserFieldWidth)));

    const QByteArray digestField = header.mid(LengthFieldWidth + UserFieldWidth, DigestFieldWidth);
    info.digest = crypt.DeCrypt(digestField.left(32));
    if (digestField.mid(32) != "   " || !IsHexDigest(info.digest))
        Malformed(QStringLiteral("the digest field does not hold a password digest"));

    info.bodyLength = packageSize - HeaderSize;
    return info;
}

PackageInfo ReadHeader(QIODevice& package, qint64 packageSize)
{
    QByteArray header(HeaderSize, Qt::Uninitialized);
    qint64 got = 0;
    while (got < HeaderSize) {
        const qint64 n = package.read(header.data() + got, HeaderSize - got);
        if (n < 0)
            throw RuntimeError::Because(err::DeviceIO, package.errorString(), QString());
        if (n == 0)
            break;
        got += n;
    }
    header.truncate(got);
    return DecodeHeader(header, got < HeaderSize ? got : packageSize);
}

bool PasswordMatches(const PackageInfo& info, const QString& password)
{
    const QByteArray stored = text::ToAnsi(text::UpperAscii(text::TrimBlanks(password)));
    return mdlMD5::DigestMD5(stored) == info.digest;
}

QString ExtensionFor(const QByteArray& bodyStart)
{
    if (bodyStart.startsWith(QByteArrayLiteral("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")))
        return QStringLiteral(".xls");
    if (zipformat::StartsWithSignature(bodyStart, zipformat::LocalHeaderSignature))
        return QStringLiteral(".xlsx");
    return QStringLiteral(".bin");
}

}  // namespace security
