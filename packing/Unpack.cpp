#include "Unpack.h"

#include "Ending.h"
#include "PackageReader.h"
#include "RuntimeError.h"
#include "archive.h"
#include "file.h"
#include "security.h"
#include "text.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace unpack {
namespace {
constexpr qint64 LargeArchive = qint64(64) << 20;  // show progress from this size on
constexpr qint64 DrainBlock = 64 * 1024;

// What an output error means, from errno.
QString Why(int code)
{
    switch (code) {
    case EEXIST: return QStringLiteral("exists already; not overwritten");
    case EACCES:
    case EPERM: return QStringLiteral("permission denied");
    case ENAMETOOLONG: return QStringLiteral("name too long");
    case ENOSPC:
    case EDQUOT: return QStringLiteral("disk full");
    case EROFS: return QStringLiteral("read-only file system");
    default: return qt_error_string(code);
    }
}

// A temporary file in the output folder, removed unless it was given a name.
struct Temporary {
    int folder;
    QByteArray name;
    bool named = false;
    ~Temporary()
    {
        if (!named && !name.isEmpty())
            ::unlinkat(folder, name.constData(), 0);
    }
};

// Moves `from` to the name `to` in the same folder, never over a file that
// is there (one may appear at any moment). Returns 0, or the errno.
int MoveWithoutReplacing(int folder, const char* from, const char* to)
{
    if (::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without it: a new link fails where the name is taken.
    if (::linkat(folder, from, folder, to, 0) != 0)
        return errno;
    ::unlinkat(folder, from, 0);
    return 0;
}

// One package, wherever it comes from.
struct Package {
    QString label;  // how the listing names it, already shown safely
    QString name;   // its own file name, as stored
    qint64 size;
    QIODevice* data;
    // For an archive entry: all of it was read, and it matched what the archive
    // records. A package file has nothing to check it against.
    std::function<bool()> intact;
};

class Command {
public:
    Command(const Options& options, QTextStream& out, QTextStream& err) : m_options(options), m_out(out), m_err(err)
    {
    }
    ~Command()
    {
        if (m_outFd >= 0)
            ::close(m_outFd);
    }

    int Run()
    {
        if (!m_options.outDir.isEmpty() && !OpenOutput())
            return m_exit;
        for (const QString& input : m_options.inputs) {
            try {
                if (archive::LooksLikeZip(input))
                    Archive(input);
                else
                    File(input);
            } catch (const RuntimeError& error) {
                Problem(BadInput, QStringLiteral("%1: %2").arg(text::Printable(input), text::Printable(error.summary())));
            }
        }
        return m_exit;
    }

private:
    void Problem(int code, const QString& message)
    {
        m_err << "quillfold-unpack: " << message << Qt::endl;
        m_exit = std::max(m_exit, code);
    }

    // The output folder, made (one level, like unzip -d) when it is missing. A
    // folder made here is opened without following a link put in its place.
    bool OpenOutput()
    {
        const QByteArray path = QFile::encodeName(m_options.outDir);
        int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
        if (::mkdir(path.constData(), 0777) == 0)
            flags |= O_NOFOLLOW;
        else if (errno != EEXIST) {
            Problem(BadInput, QStringLiteral("%1: the output folder cannot be made: %2").arg(text::Printable(m_options.outDir), Why(errno)));
            return false;
        }
        m_outFd = ::open(path.constData(), flags);
        if (m_outFd < 0) {
            const QString why = errno == ENOTDIR ? QStringLiteral("not a folder") : Why(errno);
            Problem(BadInput, QStringLiteral("%1: cannot use the output folder: %2").arg(text::Printable(m_options.outDir), why));
            return false;
        }
        return true;
    }

    void File(const QString& path)
    {
        QFile file;
        if (!file.open(archive::OpenRegularFile(path), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            throw RuntimeError(err::PathFileAccess, path);
        One(Package{text::Printable(path), QFileInfo(path).fileName(), file.size(), &file, {}});
    }

    void Archive(const QString& path)
    {
        archive::ZipArchive zip(path);
        if (!zip.Warning().isEmpty())
            Problem(CheckFailed, QStringLiteral("%1: %2").arg(text::Printable(path), zip.Warning()));
        const QList<archive::Entry>& entries = zip.Entries();
        qint64 total = 0;
        for (const archive::Entry& entry : entries)
            total += entry.size;
        for (int i = 0; i < entries.size(); ++i) {
            const archive::Entry& entry = entries[i];
            if (entry.rawName.endsWith('/'))
                continue;  // a folder
            const QString label = text::Printable(path + u':' + entry.name);
            if (total >= LargeArchive)
                m_err << QStringLiteral("[%1/%2] %3").arg(i + 1).arg(entries.size()).arg(text::Printable(entry.name)) << Qt::endl;
            // A damaged entry is that entry's problem: the others are still read.
            try {
                const std::unique_ptr<archive::EntryReader> data = zip.Open(i);
                One(Package{label, entry.name, entry.size, data.get(), [&] { return data->intact(); }});
            } catch (const RuntimeError& error) {
                Problem(BadInput, QStringLiteral("%1: %2").arg(label, text::Printable(error.summary())));
            }
        }
    }

    // Reads what is left of an archive entry, so that its end is checked.
    static bool ReadToEnd(const Package& package)
    {
        if (!package.intact)
            return true;
        QByteArray block(DrainBlock, Qt::Uninitialized);
        qint64 n = 0;
        while ((n = package.data->read(block.data(), block.size())) > 0)
            ending::ThrowIfRequested();
        return n == 0 && package.intact();
    }

    void One(const Package& package)
    {
        const security::PackageInfo info = security::ReadHeader(*package.data, package.size);
        QStringList line{package.label, QStringLiteral("user %1").arg(text::Printable(info.UserIDText())),
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
        if (!m_options.outDir.isEmpty() && m_options.password && good) {
            const QString restored = Restore(package, info);
            if (restored.isEmpty()) {
                line << QStringLiteral("not restored");
                good = false;
            } else {
                line << QStringLiteral("restored as %1").arg(text::Printable(restored));
            }
        } else {
            // Listing only, or not to be restored: the data is still read
            // through, so that a damaged entry is never reported as fine.
            if (!ReadToEnd(package)) {
                line << QStringLiteral("DAMAGED");
                Problem(CheckFailed, QStringLiteral("%1: %2").arg(package.label, text::Printable(package.data->errorString())));
                good = false;
            }
            if (!m_options.outDir.isEmpty())
                line << (m_options.password ? QStringLiteral("not restored") : QStringLiteral("not restored: no password"));
        }
        m_out << line.join(QStringLiteral("  ")) << Qt::endl;
        if (!good)
            m_exit = std::max(m_exit, int(CheckFailed));
    }

    // Restores one workbook: written under a temporary name in the output
    // folder and given its own name only when all of the entry was read and
    // matched. Returns the path, or an empty text after saying why not.
    QString Restore(const Package& package, const security::PackageInfo& info)
    {
        QByteArray start = package.data->peek(8);
        security::ScrambleBlock(start.data(), start.size());
        const QString name = RestoredName(package.name, security::ExtensionFor(start));
        const QString path = m_options.outDir + u'/' + name;
        const QByteArray nativeName = QFile::encodeName(name);
        const auto refuse = [&](const QString& why) {
            Problem(CheckFailed, QStringLiteral("%1: not restored: %2: %3").arg(package.label, text::Printable(path), why));
            return QString();
        };

        struct stat existing {};
        if (::fstatat(m_outFd, nativeName.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
            return refuse(Why(EEXIST));
        if (errno != ENOENT)
            return refuse(Why(errno));
        struct statvfs space {};
        if (::fstatvfs(m_outFd, &space) == 0 && qint64(space.f_bavail) * qint64(space.f_frsize) < info.bodyLength) {
            return refuse(QStringLiteral("needs %1 bytes, only %2 free")
                              .arg(info.bodyLength)
                              .arg(qint64(space.f_bavail) * qint64(space.f_frsize)));
        }

        Temporary temporary{m_outFd, {}};
        const int fd = file::CreateTemporary(m_outFd, {}, temporary.name);
        if (fd < 0) {
            const int code = errno;
            temporary.name.clear();  // not ours
            return refuse(Why(code));
        }
        QFile out;
        out.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle);
        try {
            // Exactly the declared size is written, then the entry must end there.
            security::WritePackageBody(*package.data, info.bodyLength, out, package.label, path, {},
                                       [](qint64) { ending::ThrowIfRequested(); });
            out.close();
            if (!ReadToEnd(package))
                throw RuntimeError(err::DeviceIO, package.data->errorString(), QString());
        } catch (const RuntimeError& error) {
            Problem(CheckFailed, QStringLiteral("%1: not restored: %2").arg(package.label, text::Printable(error.summary())));
            return {};
        }
        if (const int failed = MoveWithoutReplacing(m_outFd, temporary.name.constData(), nativeName.constData()))
            return refuse(Why(failed));
        temporary.named = true;
        return path;
    }

    const Options& m_options;
    QTextStream& m_out;
    QTextStream& m_err;
    int m_outFd = -1;
    int m_exit = AllGood;
};

}  // namespace

QString RestoredName(const QString& packageName, const QString& extension)
{
    // Only the last part of a stored name: nothing may land outside the output folder.
    QString name = packageName.mid(std::max(packageName.lastIndexOf(u'/'), packageName.lastIndexOf(u'\\')) + 1);
    if (name.endsWith(QStringLiteral(".enc"), Qt::CaseInsensitive))
        name.chop(4);
    // No control characters in a name made here: the file is named as it is shown.
    QString clean;
    for (char32_t c : name.toUcs4())
        clean += text::IsControlCharacter(c) ? QStringLiteral("_") : QString::fromUcs4(&c, 1);
    if (clean.isEmpty() || clean == u"." || clean == u"..")
        clean = QStringLiteral("package");
    return clean + extension;
}

int Run(const Options& options, QTextStream& out, QTextStream& err)
{
    return Command(options, out, err).Run();
}

}  // namespace unpack
