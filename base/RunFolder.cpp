#include "RunFolder.h"

#include "RuntimeError.h"

#include <QCoreApplication>
#include <QSysInfo>

namespace runs {
namespace {
// This machine's name as it may appear in a file name.
QString HostTag()
{
    QString host = QSysInfo::machineHostName().left(64);
    for (QChar& c : host) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'.' && c != u'-')
            c = u'_';
    }
    return host.isEmpty() ? QStringLiteral("host") : host;
}

bool IsAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// The process number in a name this program makes ("<stem><pid>-<six letters or digits>"), or -1.
// Spelled out rather than matched by a regular expression: this runs on worker threads, and a
// regular expression used on a thread leaves per-thread state whose clean-up at the thread's end
// crashes the Windows build.
qint64 LeftoverPid(const QString& entry, const QString& stem)
{
    if (!entry.startsWith(stem))
        return -1;
    const qsizetype digitsEnd = entry.indexOf(u'-', stem.size());
    const qsizetype digits = digitsEnd - stem.size();
    if (digits < 1 || digits > 10 || entry.size() - digitsEnd - 1 != 6)
        return -1;
    for (qsizetype i = stem.size(); i < digitsEnd; ++i) {
        if (!IsAsciiDigit(entry[i]))
            return -1;
    }
    for (qsizetype i = digitsEnd + 1; i < entry.size(); ++i) {
        const QChar c = entry[i];
        if (!IsAsciiDigit(c) && !((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')))
            return -1;
    }
    return entry.mid(stem.size(), digits).toLongLong();
}
}  // namespace

QByteArray RunStem(const QString& prefix)
{
    return QStringLiteral("%1-%2-%3-").arg(prefix, HostTag()).arg(QCoreApplication::applicationPid()).toUtf8();
}

RunFolder::RunFolder(const QString& parent, const QString& prefix)
{
    int error = 0;
    m_parent = platform::Folder::Open(parent, false, error);
    if (m_parent.IsOpen())
        m_self = m_parent.MakeUnique(RunStem(prefix), m_name, error);
    if (!m_self.IsOpen())
        throw RuntimeError(err::NumberOfErrno(error), parent);
}

RunFolder::~RunFolder()
{
    Remove();
}

RunFolder& RunFolder::operator=(RunFolder&& other) noexcept
{
    if (this != &other) {
        Remove();
        m_parent = std::move(other.m_parent);
        m_self = std::move(other.m_self);
        m_name = std::move(other.m_name);
    }
    return *this;
}

void RunFolder::Remove()
{
    if (!m_self.IsOpen())
        return;
    m_self.RemoveFiles();
    m_self = platform::Folder();  // closed first: Windows removes no folder that is open
    m_parent.RemoveFolder(m_name);
    m_parent = platform::Folder();
}

bool RemoveLeftovers(const QString& parent, const QString& prefix)
{
    const QString stem = QStringLiteral("%1-%2-").arg(prefix, HostTag());
    int error = 0;
    platform::Folder folder = platform::Folder::Open(parent, false, error);
    if (!folder.IsOpen())
        return true;
    bool others = false;
    for (const QString& entry : folder.Names()) {
        const qint64 pid = LeftoverPid(entry, stem);
        platform::FileStatus status;
        if (pid < 0 || platform::ProcessRuns(pid) ||
            folder.Status(entry, status) != 0 || !status.mine) {
            others = true;
            continue;
        }
        if (status.kind == platform::FileStatus::Folder)
            RemoveRunFolder(parent + u'/' + entry);
        else if (status.kind == platform::FileStatus::Regular)
            folder.Remove(entry);
        else
            others = true;
    }
    return others;
}

void RemoveRunFolder(const QString& path)
{
    if (path.isEmpty())
        return;
    // Through the folder itself, never through a link put in its place.
    int error = 0;
    if (platform::Folder folder = platform::Folder::Open(path, true, error); folder.IsOpen()) {
        if (!folder.Mine())
            return;
        folder.RemoveFiles();
    }
    platform::RemoveFolder(path);
}

}  // namespace runs
