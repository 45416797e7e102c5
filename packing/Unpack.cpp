#include "Unpack.h"

#include "PackageReader.h"
#include "RuntimeError.h"
#include "archive.h"
#include "security.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>

namespace unpack {
namespace {
constexpr qint64 LargeArchive = qint64(64) << 20;  // show progress from this size on

// One package, wherever it comes from.
struct Package {
    QString label;  // how the listing names it
    QString name;   // its own file name
    qint64 size;
    QIODevice* data;
};

class Command {
public:
    Command(const Options& options, QTextStream& out, QTextStream& err) : m_options(options), m_out(out), m_err(err)
    {
    }

    int Run()
    {
        if (!m_options.outDir.isEmpty() && !QFileInfo(m_options.outDir).isDir()) {
            Problem(BadInput, QStringLiteral("%1: the output folder does not exist").arg(m_options.outDir));
            return m_exit;
        }
        for (const QString& input : m_options.inputs) {
            try {
                if (archive::LooksLikeZip(input))
                    Archive(input);
                else
                    File(input);
            } catch (const RuntimeError& error) {
                Problem(BadInput, QStringLiteral("%1: %2").arg(input, Message(error)));
            }
        }
        return m_exit;
    }

private:
    static QString Message(const RuntimeError& error)
    {
        return error.path().isEmpty() || error.description().contains(error.path())
                   ? error.description()
                   : QStringLiteral("%1 (%2)").arg(error.description(), error.path());
    }

    void Problem(int code, const QString& message)
    {
        m_err << "quillfold-unpack: " << message << Qt::endl;
        m_exit = std::max(m_exit, code);
    }

    void File(const QString& path)
    {
        const QFileInfo info(path);
        if (!info.exists())
            throw RuntimeError(err::FileNotFound, path);
        QFile file(path);
        if (!info.isFile() || !file.open(QIODevice::ReadOnly))
            throw RuntimeError(err::PathFileAccess, path);
        One(Package{path, info.fileName(), file.size(), &file});
    }

    void Archive(const QString& path)
    {
        archive::ZipArchive zip(path);
        const QList<archive::Entry>& entries = zip.Entries();
        qint64 total = 0;
        for (const archive::Entry& entry : entries)
            total += entry.size;
        for (int i = 0; i < entries.size(); ++i) {
            const archive::Entry& entry = entries[i];
            if (entry.rawName.endsWith('/'))
                continue;  // a folder
            if (total >= LargeArchive)
                m_err << QStringLiteral("[%1/%2] %3").arg(i + 1).arg(entries.size()).arg(entry.name) << Qt::endl;
            const std::unique_ptr<QIODevice> data = zip.Open(i);
            try {
                One(Package{path + u':' + entry.name, entry.name, entry.size, data.get()});
            } catch (const RuntimeError& error) {
                Problem(BadInput, QStringLiteral("%1:%2: %3").arg(path, entry.name, Message(error)));
            }
        }
    }

    void One(const Package& package)
    {
        const security::PackageInfo info = security::ReadHeader(*package.data, package.size);
        QStringList line{package.label, QStringLiteral("user %1").arg(info.UserIDText()),
                         QStringLiteral("%1 bytes").arg(info.bodyLength)};
        bool good = true;
        if (info.LengthMatches()) {
            line << QStringLiteral("length ok");
        } else {
            line << QStringLiteral("length MISMATCH (header says %1)").arg(info.declaredLength);
            good = false;
        }
        if (m_options.password) {
            const bool matches = security::PasswordMatches(info, *m_options.password);
            line << (matches ? QStringLiteral("password ok") : QStringLiteral("password WRONG"));
            good = good && matches;
        }
        if (!m_options.outDir.isEmpty()) {
            if (!m_options.password)
                line << QStringLiteral("not restored: no password");
            else if (!good)
                line << QStringLiteral("not restored");
            else if (const QString restored = Restore(package, info); !restored.isEmpty())
                line << QStringLiteral("restored as %1").arg(restored);
            else
                good = false;
        }
        m_out << line.join(QStringLiteral("  ")) << Qt::endl;
        if (!good)
            m_exit = std::max(m_exit, int(CheckFailed));
    }

    // Returns the restored file's path, or an empty text after saying why not.
    QString Restore(const Package& package, const security::PackageInfo& info)
    {
        QByteArray start = package.data->peek(8);
        security::ScrambleBlock(start.data(), start.size());
        const QString path =
            QDir(m_options.outDir).filePath(RestoredName(package.name, security::ExtensionFor(start)));
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            Problem(CheckFailed, QStringLiteral("%1: %2 exists already; not overwritten").arg(package.label, path));
            return {};
        }
        try {
            security::WritePackageBody(*package.data, info.bodyLength, out, package.label, path);
            char extra;
            if (package.data->read(&extra, 1) != 0)  // the end, where an archive checks its CRC
                throw RuntimeError(err::DeviceIO, package.data->errorString(), package.label);
            if (!out.flush())
                throw RuntimeError(err::DeviceIO, out.errorString(), path);
        } catch (const RuntimeError& error) {
            out.remove();
            Problem(CheckFailed, QStringLiteral("%1: not restored: %2").arg(package.label, Message(error)));
            return {};
        }
        return path;
    }

    const Options& m_options;
    QTextStream& m_out;
    QTextStream& m_err;
    int m_exit = AllGood;
};
}  // namespace

QString RestoredName(const QString& packageName, const QString& extension)
{
    // Only the last part of a stored name: nothing may land outside the output folder.
    QString name = packageName.mid(std::max(packageName.lastIndexOf(u'/'), packageName.lastIndexOf(u'\\')) + 1);
    if (name.endsWith(QStringLiteral(".enc"), Qt::CaseInsensitive))
        name.chop(4);
    if (name.isEmpty() || name == u"." || name == u"..")
        name = QStringLiteral("package");
    return name + extension;
}

int Run(const Options& options, QTextStream& out, QTextStream& err)
{
    return Command(options, out, err).Run();
}

}  // namespace unpack
