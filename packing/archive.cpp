#include "archive.h"

#include "RuntimeError.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QIODevice>
#include <QSet>

#include <minizip/unzip.h>
#include <zlib.h>

#include <memory>

namespace archive {
namespace {
constexpr qint64 BlockSize = 1 << 20;

// The bytes of the archive's current entry; the CRC is checked at its end.
class EntryDevice : public QIODevice {
public:
    explicit EntryDevice(unzFile zip) : m_zip(zip) { open(QIODevice::ReadOnly); }
    ~EntryDevice() override
    {
        if (!m_closed)
            unzCloseCurrentFile(m_zip);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (m_closed)
            return 0;
        const int n = unzReadCurrentFile(m_zip, data, unsigned(std::min<qint64>(maxSize, BlockSize)));
        if (n > 0)
            return n;
        if (n == 0) {
            m_closed = true;
            if (unzCloseCurrentFile(m_zip) == UNZ_CRCERROR) {
                setErrorString(QStringLiteral("the entry's data does not match its CRC"));
                return -1;
            }
            return 0;
        }
        setErrorString(QStringLiteral("the entry cannot be read (error %1)").arg(n));
        return -1;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    unzFile m_zip;
    bool m_closed = false;
};

[[noreturn]] void Unreadable(const QString& path, const QString& problem)
{
    throw RuntimeError(err::BadArchive, QStringLiteral("%1: %2").arg(err::Description(err::BadArchive), problem), path);
}

[[noreturn]] void Differs(const QString& path, const QString& difference)
{
    throw RuntimeError(err::ArchiveCheckFailed,
                       QStringLiteral("%1: %2").arg(err::Description(err::ArchiveCheckFailed), difference), path);
}
}  // namespace

ZipArchive::ZipArchive(const QString& path) : m_path(path)
{
    if (!QFileInfo::exists(path))
        throw RuntimeError(err::FileNotFound, path);
    m_zip = unzOpen64(QFile::encodeName(path).constData());
    if (!m_zip)
        Unreadable(path, QStringLiteral("no ZIP directory found"));
    for (int rc = unzGoToFirstFile(m_zip); rc != UNZ_END_OF_LIST_OF_FILE; rc = unzGoToNextFile(m_zip)) {
        if (rc != UNZ_OK)
            Unreadable(path, QStringLiteral("its directory is damaged"));
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(m_zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            Unreadable(path, QStringLiteral("its directory is damaged"));
        QByteArray name(qsizetype(info.size_filename), Qt::Uninitialized);
        if (unzGetCurrentFileInfo64(m_zip, &info, name.data(), uLong(name.size()), nullptr, 0, nullptr, 0) != UNZ_OK)
            Unreadable(path, QStringLiteral("its directory is damaged"));
        unz64_file_pos position{};
        unzGetFilePos64(m_zip, &position);
        Entry entry;
        entry.rawName = name;
        entry.name = QString::fromUtf8(entry.rawName);
        entry.size = qint64(info.uncompressed_size);
        entry.crc = quint32(info.crc);
        m_entries << entry;
        m_positions << qMakePair(quint64(position.pos_in_zip_directory), quint64(position.num_of_file));
    }
}

ZipArchive::~ZipArchive()
{
    if (m_zip)
        unzClose(m_zip);
}

std::unique_ptr<QIODevice> ZipArchive::Open(int index)
{
    unz64_file_pos position{m_positions.at(index).first, m_positions.at(index).second};
    if (unzGoToFilePos64(m_zip, &position) != UNZ_OK || unzOpenCurrentFile(m_zip) != UNZ_OK)
        Unreadable(m_path, QStringLiteral("the entry %1 cannot be opened").arg(m_entries.at(index).name));
    return std::make_unique<EntryDevice>(m_zip);
}

bool LooksLikeZip(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray start = file.read(4);
    return start == QByteArrayLiteral("PK\x03\x04") || start == QByteArrayLiteral("PK\x05\x06");
}

quint32 FileCrc(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw RuntimeError(err::FileNotFound, path);
    uLong crc = crc32(0L, Z_NULL, 0);
    QByteArray block(BlockSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(block.data(), block.size());
        if (n < 0)
            throw RuntimeError(err::DeviceIO, path);
        if (n == 0)
            return quint32(crc);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(block.constData()), uInt(n));
    }
}

void VerifyArchive(const QString& path, const QList<Expected>& expected)
{
    ZipArchive zip(path);
    const QList<Entry>& entries = zip.Entries();
    QSet<QByteArray> seen;
    for (const Entry& entry : entries) {
        if (seen.contains(entry.rawName))
            Differs(path, QStringLiteral("%1 is in it more than once").arg(entry.name));
        seen.insert(entry.rawName);
    }
    for (const Expected& want : expected) {
        if (!seen.contains(want.rawName))
            Differs(path, QStringLiteral("%1 is missing").arg(QString::fromUtf8(want.rawName)));
    }
    QHash<QByteArray, const Expected*> wanted;
    for (const Expected& want : expected)
        wanted.insert(want.rawName, &want);
    QByteArray block(BlockSize, Qt::Uninitialized);
    for (int i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        const Expected* want = wanted.value(entry.rawName);
        if (!want)
            Differs(path, QStringLiteral("%1 was not packed by this run").arg(entry.name));
        if (entry.size != want->size || entry.crc != want->crc)
            Differs(path, QStringLiteral("%1 differs from the package that was written").arg(entry.name));
        // Read the data back: the CRC check at its end proves it intact.
        const std::unique_ptr<QIODevice> data = zip.Open(i);
        qint64 n = 0;
        while ((n = data->read(block.data(), block.size())) > 0) {
        }
        if (n < 0)
            Differs(path, QStringLiteral("%1 cannot be read back: %2").arg(entry.name, data->errorString()));
    }
}

}  // namespace archive
