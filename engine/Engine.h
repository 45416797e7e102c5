#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "format/Zip.h"
#include "platform/platform.h"

#include <functional>
#include <memory>

// The command-line packer's engine: workbooks into one ZIP archive in this
// process, with no package files on disk. Each workbook's package bytes (the
// same header and XOR-0x02 body that security::WritePackageFile writes) are
// made block by block and go straight into the archive, deflated on every core.
//
// - Packages of up to 16 MiB are deflated whole with libdeflate (level 6 by
//   default, as zip's), several at once.
// - Larger ones are cut into 1 MiB pieces, each deflated by libdeflate on its
//   own on any core; each piece's final block is made not final and followed
//   by an empty stored block, so that the pieces join into one deflate stream;
//   memory stays bounded whatever the size.
// - An entry is stored when deflating does not make it smaller: decided on the
//   whole package up to 16 MiB, and on the first 8 MiB beyond.
// - The container is laid out by ZipWriter as zip lays it out: names marked as
//   UTF-8 where they are not ASCII, the mode any new file gets, ZIP64 records
//   where offsets pass 4 GiB or the entries reach 65,535.
namespace engine {

struct Workbook {
    QString source;     // the workbook
    QString entryName;  // its package's name in the archive
    qint64 size = -1;   // its size, if known (for the progress only)
    // The workbook already open for reading, if the caller opened it: it is
    // read from there (and closed once read), not opened again.
    std::shared_ptr<platform::File> opened = nullptr;
};

// One entry as it went into the archive.
struct Entry {
    QString name;
    qint64 size = 0;        // the package's bytes
    qint64 compressed = 0;  // as the archive holds them
    quint32 crc = 0;
    bool deflated = false;
    QList<zipformat::Piece> pieces;  // a large deflated package: its pieces, for a read-back on every core
};

constexpr int DefaultLevel = 6;  // as zip's default

struct Options {
    QByteArray userID;    // Windows-874 bytes, trimmed and upper-cased
    QByteArray password;  // likewise
    int threads = 0;      // deflating threads; 0: one per core
    // How hard to deflate, as zip's -0 to -9: 0 stores every entry, deflating
    // nothing; 1 is the fastest, 9 the smallest (libdeflate's level 11).
    int level = DefaultLevel;
    // On the calling thread, as work is done: package bytes in the archive so
    // far, of `total`.
    std::function<void(qint64 done, qint64 total)> progress;
    // On the calling thread, each time an entry is complete in the archive.
    std::function<void(const Entry&)> entryDone;
};

// Writes a new archive at `path` (which must not exist) with one entry per
// workbook, in order. Run-time errors as the package writer's (53 missing, 6
// too large, 57/61 read or write failures, named with the file); an archive
// that cannot be written is the write error of its path. Polls
// ending::Requested() and throws ending::ProgramEnding when the program is
// being ended. On any failure, what was written at `path` is left for the
// caller to remove.
QList<Entry> WriteArchive(const QString& path, const QList<Workbook>& workbooks, const Options& options);

}  // namespace engine
