#pragma once

#include "format/Zip.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The read-back of an archive this program made, before it takes the
// destination's place.
namespace archive {

// What one entry must be: its stored name, its size and CRC, and, for a
// deflated entry written in pieces, the pieces (each inflated on its own, on
// any core).
struct Expected {
    QByteArray rawName;
    qint64 size = 0;
    quint32 crc = 0;
    QList<zipformat::Piece> pieces;
};

// Checks that the archive holds exactly the expected entries, each once, with
// the expected size and CRC, every non-ASCII name flagged as UTF-8, and that
// every entry's data reads back intact. Any difference is run-time error 1003
// naming it. Throws ending::ProgramEnding once the program is being ended.
void VerifyArchive(const QString& path, const QList<Expected>& expected);

}  // namespace archive
