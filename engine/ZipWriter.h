#pragma once

#include "platform/platform.h"

#include <QByteArray>

// The engine's archive writer: entries whose data is already made (stored, or
// a raw deflate stream) laid out as Info-ZIP's zip lays them out when it packs
// in one call: a local header with the CRC and sizes, the data, then the
// central directory and the end record. ZIP64 is used only where the format
// needs it: an entry that starts past 4 GiB gets its offset in a ZIP64 field
// of the directory, and an archive whose directory starts past 4 GiB or that
// holds 65,535 entries or more gets a ZIP64 end record and its locator.
//
// Writes go through one large buffer, so that thousands of small entries are
// few system calls; what leaves the buffer is put on its way to disk at once.
namespace engine {

class ZipWriter {
public:
    explicit ZipWriter(platform::File& file, platform::EntryMarks marks);
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // Starts an entry. When its CRC and sizes are not yet known, they are
    // given to End and put into its local header then.
    struct Header {
        QByteArray name;       // as stored (UTF-8)
        quint16 flag = 0;      // general purpose bits (the UTF-8 name bit)
        quint16 method = 0;    // 0 stored, 8 deflated
        quint32 dosTime = 0;
        quint32 crc = 0;
        quint64 compressed = 0;
        quint64 size = 0;
    };
    bool Begin(const Header& header);
    bool Write(const char* data, qint64 size);
    // Ends the entry with its CRC and its uncompressed size; the compressed
    // size is what was written since Begin.
    bool End(quint32 crc, quint64 size);
    // The directory and the end records, and the buffer emptied.
    bool Finish();

    // The errno of the failure that made a call return false.
    int Error() const { return m_error; }

private:
    bool Append(const char* data, qint64 size);
    bool Flush();
    bool WriteAt(const char* data, qint64 size, quint64 offset);
    bool Fail(int error);

    platform::File& m_file;
    platform::EntryMarks m_marks;
    QByteArray m_buffer;     // the bytes from m_bufferStart on, not yet in the file
    quint64 m_bufferStart = 0;
    QByteArray m_directory;  // the central headers so far
    quint64 m_entries = 0;
    Header m_entry;            // the open one
    quint64 m_entryOffset = 0;  // of its local header
    quint64 m_dataStart = 0;
    int m_error = 0;
};

}  // namespace engine
