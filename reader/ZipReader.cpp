#include "ZipReader.h"

#include "Directory.h"
#include "base/Files.h"
#include "base/RuntimeError.h"
#include "format/Zip.h"
#include "platform/platform.h"

#include <QFile>

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace archive {
using namespace zipformat;

namespace {
constexpr qint64 BlockSize = 1 << 20;
constexpr qint64 WholeInflate = 16 << 20;  // entries up to this are inflated at once, by libdeflate
}  // namespace

// The raw (compressed) bytes of an entry are read straight from the file and
// inflated here, so that the stream can be held to ending exactly where the
// directory says the entry ends.
struct EntryReader::Inflater {
    z_stream stream{};  // streaming only: set up when the entry is not inflated whole
    QByteArray input;   // likewise: compressed bytes on their way to zlib
    bool rawEnded = false;    // every compressed byte has been taken from the archive
    bool streamEnded = false; // the deflate stream has reached its end
    // An entry small enough is inflated whole, at the first read, by libdeflate
    // (about three times zlib's speed); the same checks hold.
    bool whole = false;
    bool inflated = false;  // then: into the archive's data buffer
    qsizetype served = 0;
};

namespace {
// Inflates the raw buffer into the data buffer (sized as the entry's
// recorded size): empty, or the problem. The stream must end exactly at the
// end of the raw bytes.
QString InflateWhole(ReadBuffers& buffers)
{
    const QByteArray& raw = buffers.raw;
    QByteArray& out = buffers.data;
    if (!buffers.inflater)
        buffers.inflater.reset(libdeflate_alloc_decompressor());
    if (!buffers.inflater)
        return QStringLiteral("out of memory");
    size_t in = 0, produced = 0;
    const libdeflate_result rc = libdeflate_deflate_decompress_ex(
        buffers.inflater.get(), raw.constData(), size_t(raw.size()), out.data(), size_t(out.size()), &in, &produced);
    if (rc == LIBDEFLATE_INSUFFICIENT_SPACE)
        return QStringLiteral("the entry holds more than its recorded size");
    if (rc != LIBDEFLATE_SUCCESS)
        return QStringLiteral("the entry's compressed data is invalid");
    if (in != size_t(raw.size()))
        return QStringLiteral("the entry's compressed data goes on after its end");
    out.truncate(qsizetype(produced));  // a short entry is caught by the size check at its end
    return {};
}

// Reads `compressed` bytes at `start` into the raw buffer, `tail` after them,
// and inflates them whole into the data buffer (`size` bytes long): empty, or
// the problem.
QString ReadAndInflate(ReadWindow& window, qint64 start, qint64 compressed, qint64 size, ReadBuffers& buffers,
                       const QByteArray& tail = {})
{
    QByteArray& raw = buffers.raw;
    raw.resize(qsizetype(compressed) + tail.size());
    if (window.Read(raw.data(), compressed, start) != compressed)
        return QStringLiteral("the archive ends inside the entry");
    std::memcpy(raw.data() + compressed, tail.constData(), size_t(tail.size()));
    buffers.data.resize(qsizetype(size));
    return InflateWhole(buffers);
}
}  // namespace

void ReadBuffers::FreeInflater::operator()(libdeflate_decompressor* inflater) const
{
    libdeflate_free_decompressor(inflater);
}

qint64 ReadWindow::Read(char* data, qint64 size, qint64 offset)
{
    constexpr qint64 Window = 256 * 1024;
    if (size > Window / 4)
        return ReadInto(m_file, data, size, offset);
    if (offset < m_start || offset + size > m_start + m_bytes.size()) {
        m_bytes.resize(Window);
        m_bytes.truncate(ReadInto(m_file, m_bytes.data(), Window, offset));
        m_start = offset;
    }
    const qint64 n = std::clamp<qint64>(m_start + m_bytes.size() - offset, 0, size);
    std::memcpy(data, m_bytes.constData() + (offset - m_start), size_t(n));
    return n;
}

QByteArray ReadWindow::Read(qint64 offset, qint64 size)
{
    QByteArray bytes(std::max<qint64>(size, 0), Qt::Uninitialized);
    bytes.truncate(Read(bytes.data(), bytes.size(), offset));
    return bytes;
}

bool InflatesWhole(const Entry& entry)
{
    return entry.method == Deflated && entry.size <= WholeInflate && entry.compressed <= 2 * WholeInflate;
}

EntryReader::EntryReader(ReadWindow& window, qint64 rawStart, const Entry& entry, ReadBuffers& buffers)
    : m_window(window), m_buffers(buffers), m_rawStart(rawStart), m_entry(entry), m_crc(quint32(crc32(0L, Z_NULL, 0)))
{
    if (m_entry.method == Deflated) {
        m_inflater = std::make_unique<Inflater>();
        m_inflater->whole = InflatesWhole(m_entry);
        if (!m_inflater->whole) {
            m_inflater->input = QByteArray(qsizetype(64 * 1024), Qt::Uninitialized);
            if (inflateInit2(&m_inflater->stream, -MAX_WBITS) != Z_OK)
                Fail(QStringLiteral("the entry cannot be inflated"));
        }
    } else if (m_entry.method != 0) {
        Fail(QStringLiteral("the entry is compressed with method %1, which this reader does not know").arg(m_entry.method));
    }
    // Unbuffered: every read reaches readData, so no failure can hide behind
    // data that was already handed out.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

EntryReader::~EntryReader()
{
    if (m_inflater && !m_inflater->whole)
        inflateEnd(&m_inflater->stream);
}

void EntryReader::Inflated()
{
    Q_ASSERT(m_inflater && m_inflater->whole && !m_inflater->inflated);
    m_inflater->inflated = true;
}

qint64 EntryReader::Fail(const QString& problem)
{
    if (!m_failed)
        setErrorString(problem);
    m_failed = true;
    m_intact = false;
    return -1;
}

qint64 EntryReader::ReadRaw(char* data, qint64 maxSize)
{
    const qint64 wanted = std::min(maxSize, m_entry.compressed - m_rawDone);
    const qint64 done = m_window.Read(data, wanted, m_rawStart + m_rawDone);
    if (done < wanted)
        return -1;  // the archive ends before the entry does
    m_rawDone += done;
    return done;
}

qint64 EntryReader::Produce(char* data, qint64 maxSize)
{
    const unsigned room = unsigned(std::min<qint64>(maxSize, BlockSize));
    if (!m_inflater) {  // stored: the raw bytes are the data
        const qint64 n = ReadRaw(data, room);
        return n < 0 ? Fail(QStringLiteral("the archive ends inside the entry")) : n;
    }
    Inflater& z = *m_inflater;
    if (z.whole) {
        if (!z.inflated) {
            z.inflated = true;
            if (const QString problem = ReadAndInflate(m_window, m_rawStart, m_entry.compressed, m_entry.size, m_buffers);
                !problem.isEmpty())
                return Fail(problem);
        }
        const QByteArray& inflated = m_buffers.data;
        const qint64 n = std::min<qint64>(room, inflated.size() - z.served);
        std::memcpy(data, inflated.constData() + z.served, size_t(n));
        z.served += n;
        return n;
    }
    while (!z.streamEnded) {
        if (z.stream.avail_in == 0 && !z.rawEnded) {
            const qint64 n = ReadRaw(z.input.data(), z.input.size());
            if (n < 0)
                return Fail(QStringLiteral("the archive ends inside the entry"));
            z.rawEnded = n == 0;
            z.stream.next_in = reinterpret_cast<Bytef*>(z.input.data());
            z.stream.avail_in = uInt(n);
        }
        z.stream.next_out = reinterpret_cast<Bytef*>(data);
        z.stream.avail_out = room;
        const int rc = inflate(&z.stream, Z_NO_FLUSH);
        const qint64 produced = room - z.stream.avail_out;
        if (rc == Z_STREAM_END)
            z.streamEnded = true;
        else if (rc != Z_OK && !(rc == Z_BUF_ERROR && produced == 0 && !z.rawEnded))
            return Fail(QStringLiteral("the entry's compressed data is invalid"));
        if (produced > 0)
            return produced;
        if (z.rawEnded && z.stream.avail_in == 0 && !z.streamEnded)
            return Fail(QStringLiteral("the entry's compressed data ends early"));
    }
    // The stream has ended: no compressed byte may be left over.
    if (z.stream.avail_in != 0 || m_rawDone != m_entry.compressed)
        return Fail(QStringLiteral("the entry's compressed data goes on after its end"));
    return 0;
}

qint64 EntryReader::readData(char* data, qint64 maxSize)
{
    if (m_failed)
        return -1;
    if (!m_open)
        return 0;
    const qint64 n = Produce(data, maxSize);
    if (n < 0)
        return -1;
    if (n > 0) {
        m_done += n;
        m_crc = libdeflate_crc32(m_crc, data, size_t(n));
        if (m_done > m_entry.size)
            return Fail(QStringLiteral("the entry holds more than its recorded size"));
        return n;
    }
    // The end: the whole entry, and nothing but it, with the recorded CRC.
    m_open = false;
    if (m_done != m_entry.size)
        return Fail(QStringLiteral("the entry ends after %1 of its %2 bytes").arg(m_done).arg(m_entry.size));
    if (m_crc != m_entry.crc)
        return Fail(QStringLiteral("the entry's data does not match its CRC"));
    m_intact = true;
    return 0;
}

ZipArchive::ZipArchive(const QString& path) : m_path(path), m_file(files::OpenRegularFile(path))
{
    const QList<RawEntry> raw = ReadDirectory(m_file, path, &m_warning);
    m_entries.reserve(raw.size());
    m_problems.reserve(raw.size());
    m_dataStarts.reserve(raw.size());
    for (const RawEntry& header : raw) {
        Entry entry;
        entry.rawName = header.name;
        entry.name = NameText(header);
        entry.size = qint64(header.sizes.uncompressed);
        entry.compressed = qint64(header.sizes.compressed);
        entry.crc = header.crc;
        entry.method = header.centralMethod;
        entry.utf8Flagged = header.centralFlag & header.localFlag & Utf8Flag;
        if (entry.size < 0 || entry.compressed < 0)
            Unreadable(path, QStringLiteral("the recorded size of %1 is impossible").arg(entry.name));
        m_entries.push_back(std::move(entry));
        m_problems << header.problem;
        m_dataStarts << header.dataStart;
    }
}

std::unique_ptr<ZipArchive> ZipArchive::Another() const
{
    std::unique_ptr<ZipArchive> another(new ZipArchive());
    another->m_path = m_path;
    another->m_file = files::OpenRegularFile(m_path);  // its entries are read through a window of its own
    another->m_entries = m_entries;
    another->m_problems = m_problems;
    another->m_dataStarts = m_dataStarts;
    another->m_warning = m_warning;
    return another;
}

ZipArchive::~ZipArchive() = default;

qint64 ZipArchive::DataStart(int index) const
{
    if (!m_problems.at(index).isEmpty())
        Unreadable(m_path, m_problems.at(index));
    return m_dataStarts.at(index);
}

std::unique_ptr<EntryReader> ZipArchive::Open(int index)
{
    return std::make_unique<EntryReader>(m_window, DataStart(index), m_entries.at(index), m_buffers);
}

void ZipArchive::Inflate(int index, ReadBuffers& buffers)
{
    const Entry& entry = m_entries.at(index);
    if (const QString problem = ReadAndInflate(m_window, DataStart(index), entry.compressed, entry.size, buffers);
        !problem.isEmpty())
        throw RuntimeError(err::BadArchive, problem, m_path);
}

std::unique_ptr<EntryReader> ZipArchive::OpenInflated(int index, ReadBuffers& inflated)
{
    auto reader = std::make_unique<EntryReader>(m_window, DataStart(index), m_entries.at(index), inflated);
    reader->Inflated();
    return reader;
}

void ZipArchive::CheckPiece(qint64 start, const zipformat::Piece& piece, bool last)
{
    // A piece that is not the last ends on a block that is not final: a final
    // empty block (fixed codes, end of block) is put after it, so that it
    // inflates on its own, and must be reached exactly at its end.
    const QByteArray finalBlock = last ? QByteArray() : QByteArray("\x03\x00", 2);
    if (const QString problem = ReadAndInflate(m_window, start, piece.compressed, piece.size, m_buffers, finalBlock);
        !problem.isEmpty())
        throw RuntimeError(err::BadArchive, problem, m_path);
    const QByteArray& data = m_buffers.data;
    if (data.size() != piece.size || libdeflate_crc32(0, data.constData(), size_t(data.size())) != piece.crc)
        throw RuntimeError(err::BadArchive, QStringLiteral("the entry's data does not match its CRC"), m_path);
}

bool LooksLikeZip(const QString& path)
{
    int error = 0;
    platform::FileStatus status;
    platform::File file = platform::OpenForReading(path, error, &status);
    if (!file.IsOpen())
        return false;
    if (SignatureAt(file, 0, LocalHeaderSignature) || SignatureAt(file, 0, EndSignature))
        return true;
    // Behind other data (a self-extracting program): an end record whose
    // comment reaches exactly to the file's end, after a directory that
    // starts where the record says, or where it ends just before the record.
    const EndRecord last = FindEndRecord(file, status.size);
    if (last.offset < 0 || !last.CommentFits())
        return false;
    const qint64 directorySize = Le32(last.bytes.constData() + end::DirectorySize);
    const qint64 directoryOffset = Le32(last.bytes.constData() + end::DirectoryOffset);
    return SignatureAt(file, directoryOffset, CentralHeaderSignature) ||
           SignatureAt(file, last.offset - directorySize, CentralHeaderSignature) ||
           SignatureAt(file, last.offset - zip64locator::FixedSize, Zip64LocatorSignature);
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

}  // namespace archive
