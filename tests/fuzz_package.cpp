// libFuzzer target: the package decoder and body restore, on any bytes.
#include "base/RuntimeError.h"
#include "format/PackageReader.h"
#include "format/security.h"

#include "credentials/clsCrypt.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    QBuffer package;
    package.setData(input);
    package.open(QIODevice::ReadOnly);
    try {
        const security::PackageInfo info = security::ReadHeader(package, input.size());
        // What decodes must agree with what the writer would have written.
        if (info.bodyLength != input.size() - security::HeaderSize || info.digest.size() != 32 ||
            info.userID.size() > security::UserFieldWidth)
            std::abort();
        QByteArray lengthField = input.left(security::LengthFieldWidth);
        while (lengthField.endsWith(' '))
            lengthField.chop(1);
        if (clsCrypt().EnCrypt(QByteArray::number(info.declaredLength)) != lengthField)
            std::abort();
        security::PasswordMatches(info, QStringLiteral("secret"));
        info.UserIDText();

        QBuffer body;
        body.open(QIODevice::WriteOnly);
        security::WritePackageBody(package, info.bodyLength, body, QStringLiteral("in"), QStringLiteral("out"));
        QByteArray restored = body.data();
        security::ScrambleBlock(restored.data(), restored.size());
        if (restored != input.mid(security::HeaderSize))
            std::abort();
    } catch (const RuntimeError&) {
        // Malformed input is reported, which is all that is asked.
    }
    return 0;
}
