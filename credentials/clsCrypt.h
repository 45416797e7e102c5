#pragma once

#include <QByteArray>
#include <QVariant>

// Hides the short text fields of a package header: each byte is combined with
// the byte at the same position of a fixed 512-byte key by exclusive-or. The
// class holds no state; one and the same operation enciphers and deciphers.
//
// Inputs longer than 32767 bytes fail with run-time error 6, inputs of 513 to
// 32767 bytes with run-time error 5; no partial result is ever returned.
class clsCrypt {
public:
    QByteArray EnCrypt(const QByteArray& prsCryptThis) const;
    // Deciphers the text form of a value: bytes as they are, text through the
    // Thai code page, numbers as their decimal text. A null value is error 94.
    QByteArray DeCrypt(const QVariant& pvsEncrypted) const;
    // True if prsCryptedText is exactly EnCrypt(prsData), byte for byte.
    bool Authen(const QByteArray& prsData, const QByteArray& prsCryptedText) const;

    static constexpr int KeyLength = 512;

private:
    // The key file name is not used: the key is built into the program.
    static QByteArray GetKeyText(const QByteArray& keyFileName);
    static QByteArray Transform(const QByteArray& input);
};
