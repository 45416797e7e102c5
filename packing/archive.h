#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class QIODevice;

// Reading ZIP archives back, through zlib's minizip.
namespace archive {

struct Entry {
    QByteArray rawName;  // the name as stored
    QString name;        // the same as text (UTF-8)
    qint64 size = 0;     // uncompressed
    quint32 crc = 0;
};

// An archive open for reading. Missing is run-time error 53; anything that is
// not a readable ZIP archive is error 1005.
class ZipArchive {
public:
    explicit ZipArchive(const QString& path);
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    const QList<Entry>& Entries() const { return m_entries; }
    // The entry's uncompressed bytes. A read past its end checks its CRC: a
    // damaged entry fails that read. One entry can be open at a time.
    std::unique_ptr<QIODevice> Open(int index);

private:
    QString m_path;
    void* m_zip = nullptr;
    QList<Entry> m_entries;
    QList<QPair<quint64, quint64>> m_positions;
};

// True if the file starts like a ZIP archive.
bool LooksLikeZip(const QString& path);

// The CRC-32 of a file's bytes, as ZIP archives record it.
quint32 FileCrc(const QString& path);

// Sets the UTF-8 flag (general purpose bit 11) in the local and the central
// header of every entry whose name is not plain ASCII and is valid UTF-8, so
// that tools following the ZIP rules read such names right; Info-ZIP zip
// stores them as raw bytes without the flag. Two bytes per header change in
// place; no data moves. An archive it cannot make sense of is error 1005.
void MarkUtf8Names(const QString& path);

// Checks that the archive holds exactly the expected entries, each once, with
// the expected size and CRC, every non-ASCII name flagged as UTF-8, and that
// every entry's data reads back intact. Any difference is run-time error 1003
// naming it.
struct Expected {
    QByteArray rawName;
    qint64 size = 0;
    quint32 crc = 0;
};
void VerifyArchive(const QString& path, const QList<Expected>& expected);

}  // namespace archive
