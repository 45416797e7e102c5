#pragma once

#include "platform/platform.h"

#include <QByteArray>
#include <QList>
#include <QString>

// An archive's central directory, read straight from the file, with each
// entry's local header checked against it: what the archive handle, the
// read-back and the patcher of names share. Inside the reader only.
namespace archive {

// An entry's sizes and the offset of its local header, as the directory records them.
struct Sizes {
    quint64 uncompressed = 0;
    quint64 compressed = 0;
    quint64 local = 0;
};

// An entry as its headers record it.
struct RawEntry {
    QByteArray name;
    quint16 centralFlag = 0;
    quint16 localFlag = 0;
    quint16 centralMethod = 0;
    Sizes sizes;
    quint32 crc = 0;
    qint64 centralOffset = 0;  // of the central header
    qint64 localOffset = 0;    // of the local header
    qint64 end = 0;            // just after its data (and data descriptor)
    qint64 dataStart = 0;      // of its data, after the local header
    quint8 madeBy = 0;         // the system that wrote it (zipformat::MsDosHost ...)
    QByteArray unicodeName;    // from its Unicode path field, if it has one for its name
    QString problem;           // what is wrong with this entry's headers, if anything

    // Keeps the first problem found.
    void Note(const QString& found)
    {
        if (problem.isEmpty())
            problem = found;
    }
};

// The end record: where it is in the file, and its bytes (the fixed part
// and as much of the comment as there is). Not found: offset -1.
struct EndRecord {
    qint64 offset = -1;
    QByteArray bytes;
    // The comment's length, as recorded, reaches exactly to the file's end.
    bool CommentFits() const;
};
// The last end record within the file's last 64 KiB and 22 bytes.
EndRecord FindEndRecord(platform::File& file, qint64 fileSize);

// Every entry of the directory, each checked against its local header. A
// directory that cannot be read is error 1005; a damaged local header or
// extra field is that entry's problem only. `warning` gets what is wrong
// outside every entry (a cut comment, data before the archive).
QList<RawEntry> ReadDirectory(platform::File& file, const QString& path, QString* warning = nullptr);

// An entry's name as text. Marked as UTF-8, or given in a Unicode path
// field, it is UTF-8. Unmarked, it is in the code page of the system that
// wrote it: a Windows writer uses the system's code page, Windows-874 on Thai
// Windows, where Quillfold's hand-overs come from; any other (Info-ZIP's zip
// on Linux, Quillfold's own earlier archives) writes UTF-8 without marking
// it, so a name that is valid UTF-8 is taken as UTF-8 there. Whatever is not
// valid UTF-8 is read as Windows-874, in which every byte has a character of
// its own: no two names ever read alike.
QString NameText(const RawEntry& entry);

// Reads at an offset until `size` bytes are in, the file ends, or a read
// fails; returns how many came (what came, as bytes).
qint64 ReadInto(platform::File& file, char* buffer, qint64 size, qint64 offset);
QByteArray ReadAt(platform::File& file, qint64 offset, qint64 size);
// True if the file holds a record's signature at the offset.
bool SignatureAt(platform::File& file, qint64 offset, quint32 signature);

// Throws the reader's one failure: run-time error 1005 naming the problem.
[[noreturn]] void Unreadable(const QString& path, const QString& problem);

}  // namespace archive
