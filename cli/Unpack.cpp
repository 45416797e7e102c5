#include "Unpack.h"

#include "Cli.h"

#include <QIODevice>
#include <QTextStream>

namespace unpack {
namespace {
// The report as lines: each package's on standard output, sent a group at a
// time (a line per package would be a system call per package); problems and
// progress on standard error.
class Lines : public restore::Reporter {
public:
    Lines(QTextStream& out, QTextStream& err) : m_out(out), m_err(err) {}

    void Reported(const restore::Package& package) override
    {
        if (!package.unreadable)  // its problem line says all there is
            m_out << Line(package) << '\n';
    }
    void Problem(int, restore::Concern, const QString& message) override { m_err << "quillfold-unpack: " << message << Qt::endl; }
    void Reading(int index, int count, const QString& name, bool large) override
    {
        if (large)
            m_err << QStringLiteral("[%1/%2] %3").arg(index + 1).arg(count).arg(name) << Qt::endl;
    }

    // After a group: its lines out, or the run stops.
    void GroupReported() override
    {
        m_out.flush();
        if (m_out.status() != QTextStream::Ok) {
            const QString why = m_out.device() ? m_out.device()->errorString() : QString();
            throw restore::ReportLost{QStringLiteral("cannot write to standard output (%1); the workbooks reported so far "
                                                     "are restored")
                                          .arg(why)};
        }
    }

private:
    QTextStream& m_out;
    QTextStream& m_err;
};

}  // namespace

QString Line(const restore::Package& package)
{
    using Password = restore::Package::Password;
    QStringList parts{package.label};
    if (package.folder) {
        parts << (package.folderData > 0
                      ? QStringLiteral("a folder entry that holds %1 bytes; not restored").arg(package.folderData)
                      : QStringLiteral("a folder, nothing to restore"));
        return parts.join(QStringLiteral("  "));
    }
    parts << QStringLiteral("user %1").arg(package.userID) << cli::Count(package.bodyLength, QStringLiteral("byte"));
    parts << (package.lengthMatches ? QStringLiteral("length ok")
                                    : QStringLiteral("length MISMATCH (header says %1)").arg(package.declaredLength));
    if (package.password != Password::NotChecked)
        parts << (package.password == Password::Matches ? QStringLiteral("password ok") : QStringLiteral("password WRONG"));
    if (package.damaged && !package.attempted)
        parts << QStringLiteral("DAMAGED");
    if (package.restoring) {
        parts << (!package.restoredAs.isEmpty()                    ? QStringLiteral("restored as %1").arg(package.restoredAs)
                  : package.password != Password::NotChecked ? QStringLiteral("not restored")
                                                             : QStringLiteral("not restored: no password"));
    }
    return parts.join(QStringLiteral("  "));
}

int Run(const Options& options, QTextStream& out, QTextStream& err)
{
    Lines lines(out, err);
    return restore::Run(options, lines);
}

}  // namespace unpack
