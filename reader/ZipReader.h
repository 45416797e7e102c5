#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>

#include <ctime>
#include <memory>

#include "format/Zip.h"
#include "platform/platform.h"

struct libdeflate_decompressor;

// Reading ZIP archives back: an archive's entries, each read through and
// checked to its end.
namespace archive {

struct Entry {
    QByteArray rawName;  // the name as stored
    QString name;        // the same as text (UTF-8)
    qint64 size = 0;        // uncompressed
    qint64 compressed = 0;  // as stored
    quint32 crc = 0;
    bool utf8Flagged = false;  // the name is marked as UTF-8 in both its headers
    int method = 0;            // 0 stored, 8 deflated
};

// Buffers (and the inflater) an archive lends to the entry it has open:
// reading thousands of entries then does not fault fresh memory in for each one.
struct ReadBuffers {
    struct FreeInflater {
        void operator()(libdeflate_decompressor* inflater) const;
    };
    QByteArray raw;   // compressed bytes
    QByteArray data;  // what they inflate to
    std::unique_ptr<libdeflate_decompressor, FreeInflater> inflater;  // made at the first whole inflate
};

// An archive's bytes read at offsets, the small reads served from one larger
// read: the entries (and local headers) of thousands of small workbooks lie a
// few KiB apart, and one system call each would cost more than reading them.
class ReadWindow {
public:
    explicit ReadWindow(platform::File& file) : m_file(file) {}
    // Reads at `offset` until `size` bytes are in, the file ends, or a read
    // fails; returns how many came.
    qint64 Read(char* data, qint64 size, qint64 offset);
    QByteArray Read(qint64 offset, qint64 size);

private:
    platform::File& m_file;
    qint64 m_start = 0;
    QByteArray m_bytes;  // the file's bytes from m_start
};

// The uncompressed bytes of one entry. Its data counts as intact only once all
// of it has been read, its compressed stream ended exactly there with nothing
// left over, and both its size and its CRC-32 matched what the archive's
// directory records: until then intact() is false, and once a mismatch or a
// read error has been seen, every later read fails too, whatever the block
// sizes the reader asks for.
class EntryReader : public QIODevice {
public:
    EntryReader(ReadWindow& window, qint64 rawStart, const Entry& entry, ReadBuffers& buffers);
    ~EntryReader() override;
    bool isSequential() const override { return true; }
    bool intact() const { return m_intact; }
    // The entry was inflated whole already, into the buffers: reads serve
    // those bytes.
    void Inflated();

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    struct Inflater;
    qint64 Fail(const QString& problem);
    qint64 Produce(char* data, qint64 maxSize);
    qint64 ReadRaw(char* data, qint64 maxSize);

    ReadWindow& m_window;
    ReadBuffers& m_buffers;
    qint64 m_rawStart;  // where the entry's raw bytes begin in the archive
    qint64 m_rawDone = 0;
    std::unique_ptr<Inflater> m_inflater;
    Entry m_entry;
    qint64 m_done = 0;
    quint32 m_crc = 0;
    bool m_open = true;
    bool m_failed = false;
    bool m_intact = false;
};

// True if a reader inflates the entry whole, at its first read (a deflated
// entry of up to 16 MiB).
bool InflatesWhole(const Entry& entry);

// An archive open for reading. Only a regular file is ever opened (a pipe or a
// device is refused at once, never waited on): missing is run-time error 53,
// not a regular file 75, anything that is not a readable ZIP archive 1005.
class ZipArchive {
public:
    explicit ZipArchive(const QString& path);
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    // Another handle on the same archive, for reading its entries on another
    // thread; the directory is not read again. A handle is used by one thread
    // at a time (it keeps the bytes it last read).
    std::unique_ptr<ZipArchive> Another() const;

    const QList<Entry>& Entries() const { return m_entries; }
    // Damage outside every entry (a cut comment, say), or empty. The entries
    // can still be read.
    const QString& Warning() const { return m_warning; }
    // The entry's bytes. One entry can be open at a time. An entry whose local
    // header is damaged is error 1005; the other entries can still be read.
    std::unique_ptr<EntryReader> Open(int index);
    // Reads and inflates a whole entry (one that InflatesWhole takes) into
    // `buffers`, on the handle's thread: empty, or what is wrong with its data. A
    // damaged local header is thrown, as Open does.
    void Inflate(int index, ReadBuffers& buffers);
    // The entry's reader over what Inflate made of it, with the same checks
    // as Open's reader.
    std::unique_ptr<EntryReader> OpenInflated(int index, ReadBuffers& inflated);
    // Where an entry's compressed bytes start; its local header was checked
    // against the directory when the archive was opened, and a problem found
    // there is thrown here (as Open does).
    qint64 DataStart(int index) const;
    // Checks one piece of a deflated entry that starts at `start` in the
    // archive: empty, or what is wrong.
    void CheckPiece(qint64 start, const zipformat::Piece& piece, bool last);

private:
    ZipArchive() = default;

    QString m_path;
    platform::File m_file;
    ReadWindow m_window{m_file};
    QList<Entry> m_entries;
    QStringList m_problems;  // per entry: what is wrong with its headers, if anything
    QList<qint64> m_dataStarts;  // per entry: where its data starts, after its local header
    ReadBuffers m_buffers;       // for the entry or piece being read
    QString m_warning;
};

// True if the file starts like a ZIP archive, or ends like one behind other
// data (a self-extracting program). Looks only at regular files.
bool LooksLikeZip(const QString& path);

// The CRC-32 of a file's bytes, as ZIP archives record it.
quint32 FileCrc(const QString& path);

}  // namespace archive
