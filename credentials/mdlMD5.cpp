#include "mdlMD5.h"

#include <QCryptographicHash>

namespace mdlMD5 {

QByteArray DigestMD5(const QByteArray& text)
{
    // RFC 1321, as Qt computes it; lower-case hex, 32 digits.
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

}  // namespace mdlMD5
