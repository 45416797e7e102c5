// md5: DigestMD5 over 64 MiB against `openssl md5` over the same bytes.
#include "BenchUtil.h"
#include "credentials/mdlMD5.h"

#include <QCoreApplication>
#include <QTemporaryDir>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath("message.bin");
    bench::WriteRandomFile(path, qint64(64) << 20, 2);
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    const QByteArray message = file.readAll();

    QByteArray digest;
    const QByteArray openssl = "openssl md5 " + bench::Quoted(path) + " > /dev/null";
    bench::Shell(openssl);  // warm the cache
    bench::PrintRatio("md5", bench::Alternating(7, [&] { digest = mdlMD5::DigestMD5(message); },
                                                [&] { bench::Shell(openssl); }));
    return digest.size() == 32 ? 0 : 1;
}
