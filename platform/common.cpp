// What the platform's two sides share: the probe, links followed to their
// end, and the QIODevice over a File.
#include "platform.h"

#include <QFileInfo>

#include <cerrno>

namespace platform {
namespace {
std::atomic<Probe*> probe{nullptr};
}  // namespace

void SetProbe(Probe* p)
{
    probe = p;
}

int Probed(Call call, const QString& path, const QString& other)
{
    Probe* p = probe.load();
    return p ? p->Before(call, path, other) : 0;
}

QString UntrustedLink(const QString& path, QString& owner)
{
    QString current = path;
    for (int hops = 0; hops < 40; ++hops) {  // as the system's own limit on chains
        const QFileInfo link(current);
        FileStatus status, folder;
        if (!link.isSymbolicLink() || Stat(current, status, false) != 0 || status.kind != FileStatus::Link)
            return {};
        if (Stat(link.path(), folder) == 0 && !MayFollow(status, folder)) {
            owner = OwnerName(status.owner);
            return current;
        }
        current = link.symLinkTarget();
        if (current.isEmpty())
            return {};
    }
    return {};
}

QString FinalTarget(const QString& path)
{
    QString current = path;
    for (int hops = 0; hops < 40; ++hops) {  // as the system's own limit on chains
        const QFileInfo link(current);
        if (!link.isSymbolicLink())
            return current;
        const QString target = link.symLinkTarget();
        if (target.isEmpty())
            return current;
        current = target;
    }
    return current;
}

FileDevice::FileDevice(File file, OpenMode mode) : m_file(std::move(file))
{
    open(mode | QIODevice::Unbuffered);
}

void FileDevice::close()
{
    QIODevice::close();
    m_file.Close();
}

qint64 FileDevice::readData(char* data, qint64 maxSize)
{
    const qint64 n = m_file.Read(data, maxSize);
    if (n < 0)
        setErrorString(ErrorText(errno));
    return n;
}

qint64 FileDevice::writeData(const char* data, qint64 size)
{
    if (m_file.Write(data, size))
        return size;
    const int code = errno;
    setErrorString(ErrorText(code));
    errno = code;  // for a caller that tells a full disk from other failures
    return -1;
}

}  // namespace platform
