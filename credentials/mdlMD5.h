#pragma once

#include <QByteArray>

// The MD5 message digest of RFC 1321.
namespace mdlMD5 {

// The digest of the bytes as 32 lower-case hexadecimal digits. Texts become
// bytes through text::ToAnsi (one Windows-874 byte per character) before they
// get here; nothing else is added to the message.
QByteArray DigestMD5(const QByteArray& text);

}  // namespace mdlMD5
