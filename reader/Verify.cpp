#include "Verify.h"

#include "ZipReader.h"
#include "base/Ending.h"
#include "base/Parallel.h"
#include "base/RuntimeError.h"
#include "format/Zip.h"

#include <QHash>
#include <QSet>

#include <libdeflate.h>
#include <zlib.h>

#include <atomic>
#include <exception>
#include <memory>
#include <vector>

namespace archive {
using namespace zipformat;

namespace {
constexpr qint64 BlockSize = 1 << 20;

[[noreturn]] void Differs(const QString& path, const QString& difference)
{
    throw RuntimeError::Detailed(err::ArchiveCheckFailed, difference, path);
}
}  // namespace

void VerifyArchive(const QString& path, const QList<Expected>& expected)
{
    ZipArchive zip(path);
    if (!zip.Warning().isEmpty())
        Differs(path, zip.Warning());
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
    for (const Entry& entry : entries) {
        const Expected* want = wanted.value(entry.rawName);
        if (!want)
            Differs(path, QStringLiteral("%1 was not packed by this run").arg(entry.name));
        if (entry.size != want->size || entry.crc != want->crc)
            Differs(path, QStringLiteral("%1 differs from the package that was written").arg(entry.name));
        if (NeedsUtf8Flag(entry.rawName) && !entry.utf8Flagged)
            Differs(path, QStringLiteral("%1 is not marked as a UTF-8 name").arg(entry.name));
    }

    // Read the data back, on every core: only an entry read to its end with
    // the recorded size and CRC counts as intact. An entry written in pieces
    // is read piece by piece, each on any core: every piece must inflate on
    // its own to exactly its size and CRC and end exactly where the next
    // begins (the last with the stream's end), and together they must make
    // the whole entry, its size and CRC. The first failure, in the archive's
    // order, is the one reported.
    struct Unit {
        int entry = 0;
        int piece = -1;     // -1: the whole entry
        qint64 start = 0;   // a piece's, in the archive
        bool last = false;  // the entry's last piece
    };
    std::vector<Unit> units;
    for (int i = 0; i < entries.size(); ++i) {
        const QList<zipformat::Piece>& pieces = wanted.value(entries[i].rawName)->pieces;
        if (pieces.isEmpty() || entries[i].method != Deflated) {
            units.push_back(Unit{i});
            continue;
        }
        const qint64 dataStart = zip.DataStart(i);
        qint64 offset = 0, size = 0;
        quint32 crc = 0;
        for (int p = 0; p < pieces.size(); ++p) {
            units.push_back(Unit{i, p, dataStart + offset, p + 1 == pieces.size()});
            offset += pieces[p].compressed;
            size += pieces[p].size;
            crc = quint32(crc32_combine(crc, pieces[p].crc, z_off_t(pieces[p].size)));  // a piece is 1 MiB
        }
        if (offset != entries[i].compressed || size != entries[i].size || crc != entries[i].crc)
            Differs(path, QStringLiteral("%1 differs from the package that was written").arg(entries[i].name));
    }
    // Each thread takes the next unit not yet taken, so that however many
    // threads start, every unit is checked.
    std::vector<std::exception_ptr> failures(units.size());  // each thread writes only its own units'
    std::atomic<size_t> next{0};
    std::atomic<bool> handleTaken{false};
    const auto check = [&] {
        // One thread reads through the archive's own handle, the others
        // through handles of their own; one that gets none (no descriptor
        // left) leaves the work to the others.
        std::unique_ptr<ZipArchive> another;
        if (handleTaken.exchange(true)) {
            try {
                another = zip.Another();
            } catch (const RuntimeError&) {
                return;
            }
        }
        ZipArchive& archive = another ? *another : zip;
        QByteArray block(BlockSize, Qt::Uninitialized);
        for (size_t u; (u = next++) < units.size();) {
            try {
                const Unit& unit = units[u];
                const Entry& entry = entries[unit.entry];
                QString problem;
                if (unit.piece >= 0) {
                    try {
                        archive.CheckPiece(unit.start, wanted.value(entry.rawName)->pieces[unit.piece], unit.last);
                    } catch (const RuntimeError& error) {
                        problem = error.description();
                    }
                } else {
                    const std::unique_ptr<EntryReader> data = archive.Open(unit.entry);
                    while (data->read(block.data(), block.size()) > 0)
                        ending::ThrowIfRequested();
                    if (!data->intact())
                        problem = data->errorString();
                }
                ending::ThrowIfRequested();
                if (!problem.isEmpty())
                    Differs(path, QStringLiteral("%1 cannot be read back: %2").arg(entry.name, problem));
            } catch (...) {
                failures[u] = std::current_exception();
                next = units.size();  // the others stop at their next unit
            }
        }
    };
    OnEveryCore(Parallel::Threads(qsizetype(units.size()), 16), check);
    for (const std::exception_ptr& failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
}

}  // namespace archive
