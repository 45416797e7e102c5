#include "ZipWriter.h"

#include "format/Zip.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace engine {
using namespace zipformat;

namespace {
constexpr qsizetype Capacity = 4 << 20;

// Little-endian fields appended one after another.
class Fields {
public:
    explicit Fields(QByteArray& bytes) : m_bytes(bytes) {}
    Fields& operator()(quint16 value) { return Put(value); }
    Fields& operator()(quint32 value) { return Put(value); }
    Fields& operator()(quint64 value) { return Put(value); }
    Fields& operator()(const QByteArray& value)
    {
        m_bytes += value;
        return *this;
    }

private:
    template <typename T>
    Fields& Put(T value)
    {
        char field[sizeof(T)];
        qToLittleEndian<T>(value, field);
        m_bytes.append(field, sizeof(T));
        return *this;
    }
    QByteArray& m_bytes;
};

// Fields to be appended to `bytes`: Put(bytes)(a)(b)...
Fields Put(QByteArray& bytes)
{
    return Fields(bytes);
}

quint32 Clamped(quint64 value)
{
    return quint32(std::min(value, Max32));
}
}  // namespace

ZipWriter::ZipWriter(platform::File& file, platform::EntryMarks marks) : m_file(file), m_marks(marks)
{
    m_buffer.reserve(Capacity);
}

bool ZipWriter::Fail(int error)
{
    m_error = error ? error : EIO;
    return false;
}

bool ZipWriter::WriteAt(const char* data, qint64 size, quint64 offset)
{
    return m_file.WriteAt(data, size, qint64(offset)) || Fail(errno);
}

bool ZipWriter::Flush()
{
    if (m_buffer.isEmpty())
        return true;
    if (!WriteAt(m_buffer.constData(), m_buffer.size(), m_bufferStart))
        return false;
    // On its way to disk while the rest is made: the flush before the archive
    // takes the destination's place then has little to wait for.
    m_file.StartWriteback(qint64(m_bufferStart), m_buffer.size());
    m_bufferStart += quint64(m_buffer.size());
    m_buffer.resize(0);  // keeps its memory
    return true;
}

// Appends `size` bytes; a header is never split between the file and the
// buffer, so that it can be completed in one place.
bool ZipWriter::Append(const char* data, qint64 size)
{
    if (m_buffer.size() + size > Capacity && !Flush())
        return false;
    if (size >= Capacity) {  // large: straight through
        if (!WriteAt(data, size, m_bufferStart))
            return false;
        m_file.StartWriteback(qint64(m_bufferStart), size);
        m_bufferStart += quint64(size);
        return true;
    }
    m_buffer.append(data, size);
    return true;
}

bool ZipWriter::Begin(const Header& header)
{
    m_entry = header;
    m_entryOffset = m_bufferStart + quint64(m_buffer.size());
    QByteArray local;
    Put(local)(LocalHeaderSignature)(PlainVersion)(header.flag)(header.method)(header.dosTime)(header.crc)(
        Clamped(header.compressed))(Clamped(header.size))(quint16(header.name.size()))(quint16(0))(header.name);
    if (!Append(local.constData(), local.size()))
        return false;
    m_dataStart = m_entryOffset + quint64(local.size());
    return true;
}

bool ZipWriter::Write(const char* data, qint64 size)
{
    return Append(data, size);
}

bool ZipWriter::End(quint32 crc, quint64 size)
{
    const quint64 compressed = m_bufferStart + quint64(m_buffer.size()) - m_dataStart;
    // A package is under 2 GiB, and its deflate stream never twice that: no
    // entry needs ZIP64 sizes.
    if (compressed >= Max32 || size >= Max32)
        return Fail(EFBIG);
    if (crc != m_entry.crc || compressed != m_entry.compressed || size != m_entry.size) {
        QByteArray fields;
        Put(fields)(crc)(quint32(compressed))(quint32(size));
        const quint64 at = m_entryOffset + local::Crc;
        if (at >= m_bufferStart)
            std::memcpy(m_buffer.data() + (at - m_bufferStart), fields.constData(), size_t(fields.size()));
        else if (!WriteAt(fields.constData(), fields.size(), at))
            return false;
    }
    // An entry that starts past 4 GiB has its offset in a ZIP64 field.
    const bool far = m_entryOffset >= Max32;
    QByteArray extra;
    if (far)
        Put(extra)(Zip64Extra)(quint16(8))(m_entryOffset);
    const quint16 madeBy = far ? quint16((m_marks.madeBy & 0xFF00) | Zip64Version) : m_marks.madeBy;
    Put(m_directory)(CentralHeaderSignature)(madeBy)(far ? Zip64Version : PlainVersion)(m_entry.flag)(m_entry.method)(
        m_entry.dosTime)(crc)(quint32(compressed))(quint32(size))(quint16(m_entry.name.size()))(quint16(extra.size()))(
        quint16(0))(quint16(0))(quint16(0))(m_marks.external)(Clamped(m_entryOffset))(m_entry.name)(extra);
    ++m_entries;
    return true;
}

bool ZipWriter::Finish()
{
    const quint64 directoryOffset = m_bufferStart + quint64(m_buffer.size());
    const quint64 directorySize = quint64(m_directory.size());
    QByteArray tail = m_directory;
    m_directory.clear();
    // From 65,535 entries on the end record's count holds 0xFFFF and the
    // true count is in the ZIP64 end record; so are offsets past 4 GiB.
    if (m_entries >= MaxEntries16 || directoryOffset >= Max32 || directorySize >= Max32) {
        const quint64 recordOffset = directoryOffset + directorySize;
        Put(tail)(Zip64EndSignature)(quint64(zip64end::FixedSize - 12))(quint16((m_marks.madeBy & 0xFF00) | Zip64Version))(
            Zip64Version)(quint32(0))(quint32(0))(m_entries)(m_entries)(directorySize)(directoryOffset);
        Put(tail)(Zip64LocatorSignature)(quint32(0))(recordOffset)(quint32(1));
    }
    const quint16 count = quint16(std::min<quint64>(m_entries, MaxEntries16));
    Put(tail)(EndSignature)(quint16(0))(quint16(0))(count)(count)(Clamped(directorySize))(
        Clamped(directoryOffset))(quint16(0));
    return Append(tail.constData(), tail.size()) && Flush();
}

}  // namespace engine
