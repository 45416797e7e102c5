#include "RunFolder.h"

#include "RuntimeError.h"

#include <QCoreApplication>
#include <QRegularExpression>
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
    const QRegularExpression name(QStringLiteral("^%1-%2-(\\d{1,10})-[A-Za-z0-9]{6}$")
                                      .arg(QRegularExpression::escape(prefix), QRegularExpression::escape(HostTag())));
    int error = 0;
    platform::Folder folder = platform::Folder::Open(parent, false, error);
    if (!folder.IsOpen())
        return true;
    bool others = false;
    for (const QString& entry : folder.Names()) {
        const QRegularExpressionMatch match = name.match(entry);
        platform::FileStatus status;
        if (!match.hasMatch() || platform::ProcessRuns(match.captured(1).toLongLong()) ||
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
