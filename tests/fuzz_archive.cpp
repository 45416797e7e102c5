// libFuzzer target: the archive reader and quillfold-unpack's restore, on any
// bytes taken as a ZIP archive. Whatever it is given, it must not crash, must
// leave no temporary file behind, and may restore only into its output folder.
#include "cli/Unpack.h"

#include <QDir>
#include <QString>
#include <QTextStream>

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace {
QString OutputFolder()
{
    static const QString folder = [] {
        QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/fuzz_archive-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            std::abort();
        return QString::fromLocal8Bit(pattern);
    }();
    return folder;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = ::memfd_create("archive", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, data, size) != ssize_t(size))
        std::abort();
    const QString out = OutputFolder();
    QString said, problems;
    QTextStream sayStream(&said), problemStream(&problems);
    unpack::Run({{QStringLiteral("/proc/self/fd/%1").arg(fd)}, QStringLiteral("secret"), out}, sayStream,
                problemStream);
    ::close(fd);

    QDir folder(out);
    for (const QString& name : folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        if (name.startsWith(u'.'))  // a temporary file was left behind
            std::abort();
        folder.remove(name);
    }
    return 0;
}
