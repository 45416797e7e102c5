#include "Engine.h"

#include "ZipWriter.h"
#include "base/Ending.h"
#include "base/Files.h"
#include "base/Parallel.h"
#include "base/RuntimeError.h"
#include "format/security.h"
#include "format/Zip.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace engine {
namespace {
constexpr qint64 WholeLimit = 16 << 20;   // packages up to this are deflated whole, with libdeflate
constexpr qint64 PieceSize = 1 << 20;     // larger ones in pieces of this size, each deflated on its own
constexpr int DecidingPieces = 8;         // a large entry is stored or deflated as its first 8 MiB are
constexpr qint64 InFlight = 48 << 20;     // package bytes read and not yet in the archive, at most
constexpr qint64 BatchBytes = 1 << 20;    // small packages travel together, up to this much
constexpr int BatchCount = 64;            // or this many
constexpr qint64 ProbeFrom = 16 * 1024;   // packages from this size are probed before they are deflated
constexpr qint64 ProbeSize = 4096;        // the start of the body, deflated fast as a trial
constexpr qint64 FillBlock = 256 * 1024;  // workbooks are read, scrambled and summed this much at a time

enum Method : int { Undecided, Deflate, Store };

// A whole package, or one piece of a large one.
struct Item {
    int entry = 0;
    int piece = 0;
    int pieces = 1;  // 1: a whole package
    QByteArray data;
    time_t modified = 0;    // the workbook's
    bool unread = false;    // a small workbook that the worker reads itself
    qint64 room = 0;        // what it counts against the bytes in flight
    quint32 crc = 0;        // of `data`, once it is read
};

// What became of an item.
struct Result {
    int entry = 0;
    int piece = 0;
    int pieces = 1;
    QByteArray raw;
    QByteArray deflated;  // empty when not deflated, or (whole) when it did not shrink
    quint32 crc = 0;
    time_t modified = 0;
    qint64 room = 0;
};

// One piece of work for a worker: a piece of a large package, or small
// packages together, so that a thousand small workbooks are not a thousand
// hand-offs between threads.
struct Task {
    qint64 seq = 0;
    std::vector<Item> items;
};

// Makes the deflate stream of one piece of a large package joinable with the
// next piece's: libdeflate ends its stream with a final block, so that block's
// final bit is cleared and an empty stored block (a sync flush) brings the
// stream to a byte boundary. Where the last block starts is found by
// inflating the piece block by block, which also proves the stream sound.
void MakeJoinable(QByteArray& stream, qsizetype rawSize, QByteArray& scratch)
{
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        throw RuntimeError(err::DeviceIO, QStringLiteral("zlib cannot start inflating"), QString());
    if (scratch.size() < rawSize)
        scratch.resize(rawSize);
    z.next_in = reinterpret_cast<Bytef*>(stream.data());
    z.avail_in = uInt(stream.size());
    z.next_out = reinterpret_cast<Bytef*>(scratch.data());
    z.avail_out = uInt(scratch.size());
    quint64 blockStart = 0, lastStart = 0;  // in bits
    bool lastSeen = false;
    int unused = 0;  // bits of padding after the last block (zlib drops them before it ends)
    int rc = Z_OK;
    while (rc == Z_OK) {
        rc = inflate(&z, Z_BLOCK);
        if (!lastSeen && (z.data_type & 64)) {  // the header of the last block is read
            lastSeen = true;
            lastStart = blockStart;
        }
        if (z.data_type & 128) {  // at a block boundary: the next block starts here
            blockStart = z.total_in * 8 - quint64(z.data_type & 7);
            if (z.data_type & 64)
                unused = z.data_type & 7;
        }
    }
    const bool whole = rc == Z_STREAM_END && z.avail_in == 0 && qsizetype(z.total_out) == rawSize && lastSeen;
    inflateEnd(&z);
    if (!whole)
        throw RuntimeError(err::DeviceIO, QStringLiteral("libdeflate made a piece that does not inflate (%1)").arg(rc),
                           QString());
    stream[qsizetype(lastStart / 8)] = char(stream[qsizetype(lastStart / 8)] & ~(1 << (lastStart % 8)));
    // An empty stored block: three zero bits (not final, stored) in the padding
    // if they fit, then to the byte boundary, then LEN 0 and NLEN 0xFFFF.
    if (unused < 3)
        stream.append('\0');
    stream.append("\x00\x00\xff\xff", 4);
}

// Fills `data` with a stretch of a package: the header, if given, then body
// bytes read from `file` to the end of `data`, scrambled. Returns the CRC-32
// of all of `data`. Each block is scrambled and summed as soon as it is read,
// while it is still in the cache: one pass over memory instead of three.
quint32 Fill(QByteArray& data, const QByteArray& header, platform::File& file, const QString& path)
{
    std::memcpy(data.data(), header.constData(), header.size());
    quint32 crc = libdeflate_crc32(0, header.constData(), size_t(header.size()));
    char* buffer = data.data() + header.size();
    const qint64 length = data.size() - header.size();
    qint64 done = 0;
    while (done < length) {
        const qint64 n = file.Read(buffer + done, std::min(length - done, FillBlock));
        if (n < 0)
            throw RuntimeError::Because(err::DeviceIO, platform::ErrorText(errno), path);
        if (n == 0)
            throw RuntimeError(err::InputPastEnd, path);
        security::ScrambleBlock(buffer + done, n);
        crc = libdeflate_crc32(crc, buffer + done, size_t(n));
        done += n;
    }
    return crc;
}

// A workbook open for reading (a regular file, never a pipe), with its
// status: the file the caller opened, if it did.
struct Source {
    explicit Source(const Workbook& workbook)
    {
        if (!workbook.opened || !workbook.opened->IsOpen()) {
            file = files::OpenRegularFile(workbook.source, &info);
            return;
        }
        file = std::move(*workbook.opened);
        if (const int error = file.Status(info))
            throw RuntimeError::Because(err::DeviceIO, platform::ErrorText(error), workbook.source);
    }

    platform::FileStatus info;
    platform::File file;
};

// libdeflate's level for zip's -1 to -9: the same up to 7; -8 and -9 its
// near-optimal parser (10, 11), which on Calc's .xls files makes archives
// 2.6 % smaller than zip -9's in less time than zip -6 takes. Its levels 8 and
// 9 are skipped: there they are slower than 10 and larger. 12 would save
// another 0.03 % at 1.25 times 11's time, and take longer than zip -6.
int LibdeflateLevel(int level)
{
    static constexpr int levels[] = {1, 1, 2, 3, 4, 5, 6, 7, 10, 11};
    return levels[std::clamp(level, 1, 9)];
}

// A worker's compressors, made once per thread: the real one, and a fast one
// for the trial.
using Compressor = std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)>;
struct Compressors {
    explicit Compressors(int level)
        : real(libdeflate_alloc_compressor(LibdeflateLevel(level)), libdeflate_free_compressor)
    {
    }
    Compressor real;
    Compressor fast{libdeflate_alloc_compressor(1), libdeflate_free_compressor};
    QByteArray scratch;  // where a piece is inflated to find its last block
};

// True if the start of the body shrinks by at least 3 % under the fast
// compressor. Data that does not (already compressed, like an .xlsx, or
// noise) is stored without deflating the rest: for such data deflating would
// cost most of the time and save nothing.
// `data` deflated by `compressor` into at most `room` bytes; empty if it takes more.
QByteArray Deflated(const QByteArray& data, libdeflate_compressor* compressor, qsizetype room)
{
    QByteArray out(std::max<qsizetype>(room, 0), Qt::Uninitialized);
    const size_t n = out.isEmpty() ? 0
                                   : libdeflate_deflate_compress(compressor, data.constData(), size_t(data.size()),
                                                                 out.data(), size_t(out.size()));
    out.truncate(qsizetype(n));
    return out;
}

bool LooksCompressible(const QByteArray& package, libdeflate_compressor* fast)
{
    // An old Excel workbook (a compound file: its signature, scrambled as the
    // body is) is records of numbers and text, which always shrink: the trial
    // would only cost time.
    static const QByteArray oldExcel = [] {
        QByteArray signature("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
        security::ScrambleBlock(signature.data(), signature.size());
        return signature;
    }();
    if (QByteArrayView(package).sliced(security::HeaderSize).startsWith(oldExcel))
        return true;
    const qint64 size = std::min<qint64>(ProbeSize, package.size() - security::HeaderSize);
    char out[ProbeSize];
    return libdeflate_deflate_compress(fast, package.constData() + security::HeaderSize, size_t(size), out,
                                       size_t(size - size / 32)) > 0;
}

class Pipeline {
public:
    Pipeline(const QList<Workbook>& workbooks, const Options& options)
        : m_workbooks(workbooks), m_options(options), m_methods(size_t(workbooks.size()))  // all Undecided
    {
        for (const Workbook& workbook : workbooks)
            m_sizes.push_back(workbook.size >= 0 ? workbook.size : QFileInfo(workbook.source).size());
    }

    // The producer, on a thread of its own: reads the workbooks in order and
    // cuts them into tasks, waiting for room as it goes.
    void Produce()
    {
        while (ProduceStep(true)) {
        }
    }

    // One step of the producer: a small workbook added to the batch, a large
    // one opened, or one piece of it read. False once every workbook is in a
    // task (or the pipeline stops), and when there is no room for the next
    // step and `mayWait` is false. On the writer's thread, where no producer
    // thread could be started, with `mayWait` false.
    bool ProduceStep(bool mayWait)
    {
        Production& p = m_production;
        if (p.done || m_stop)
            return false;
        if (p.large) {  // the next piece of a large workbook, in order
            const qint64 size = std::min(PieceSize, p.packageSize - p.at);
            if (!TakeRoom(size, mayWait))
                return false;
            const QString& path = m_workbooks[p.entry].source;
            Item item{p.entry, p.piece, p.pieces, QByteArray(size, Qt::Uninitialized), p.large->info.modified, false, size};
            item.crc = Fill(item.data, p.piece == 0 ? p.header : QByteArray(), p.large->file, path);
            p.at += size;
            p.batch.items.push_back(std::move(item));
            Send();
            if (++p.piece == p.pieces) {
                p.large.reset();
                ++p.entry;
            }
            return true;
        }
        if (p.entry == m_workbooks.size()) {
            Send();
            p.done = true;
            const std::lock_guard lock(m_mutex);
            m_produced = true;
            m_taskReady.notify_all();
            m_resultReady.notify_one();
            return false;
        }
        // Small workbooks are read by the workers, several at once.
        const qint64 room = security::HeaderSize + m_sizes[size_t(p.entry)];
        if (room <= WholeLimit) {
            if (!TakeRoom(room, mayWait))
                return false;
            Item item;
            item.entry = p.entry;
            item.unread = true;
            item.room = room;
            p.batch.items.push_back(std::move(item));
            p.batched += room;
            if (p.batched >= BatchBytes || int(p.batch.items.size()) >= BatchCount)
                Send();
            ++p.entry;
            return true;
        }
        // Large ones here, in pieces, from the next step on.
        Send();
        const QString& path = m_workbooks[p.entry].source;
        p.large.emplace(m_workbooks[p.entry]);
        const qint64 length = p.large->info.size;
        if (length >= security::MaxSourceSize)
            throw RuntimeError(err::Overflow, QStringLiteral("Overflow: the file is 2 GiB or larger"), path);
        p.header = security::PackageHeader(length, m_options.userID, m_options.password);
        p.packageSize = p.header.size() + length;
        p.pieces = int((p.packageSize + PieceSize - 1) / PieceSize);
        p.piece = 0;
        p.at = 0;
        return true;
    }

    // The threads that run beside the writer: the producer, if it started,
    // and how many workers did of those asked for. Where fewer started, the
    // writer does what is missing while it waits.
    void Started(bool producer, int workers, int wanted)
    {
        m_producerThread = producer;
        m_helpWhileWaiting = !producer || workers < wanted;
    }

    // A worker: takes tasks and deflates them.
    void Work()
    {
        Compressors compressors(m_options.level);
        for (;;) {
            Task task;
            {
                std::unique_lock lock(m_mutex);
                m_taskReady.wait(lock, [&] { return m_stop || !m_tasks.empty() || m_produced; });
                if (m_stop || m_tasks.empty())
                    return;
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            std::vector<Result> results = Process(task, compressors);
            const std::lock_guard lock(m_mutex);
            m_results.emplace(task.seq, std::move(results));
            m_resultReady.notify_one();
        }
    }

    std::vector<Result> Process(Task& task, Compressors& compressors) const
    {
        std::vector<Result> results;
        results.reserve(task.items.size());
        for (Item& item : task.items) {
            if (item.unread)
                Read(item);
            results.push_back(Compress(item, compressors));
        }
        return results;
    }

    // Reads a small workbook into its whole package.
    void Read(Item& item) const
    {
        const QString& path = m_workbooks[item.entry].source;
        Source source(m_workbooks[item.entry]);
        const qint64 length = source.info.size;
        if (security::HeaderSize + length > 2 * WholeLimit) {  // it grew since it was looked at
            throw RuntimeError::Detailed(err::PathFileAccess, QStringLiteral("the file changed while it was packed"), path);
        }
        const QByteArray header = security::PackageHeader(length, m_options.userID, m_options.password);
        item.data = QByteArray(header.size() + length, Qt::Uninitialized);
        item.crc = Fill(item.data, header, source.file, path);
        item.modified = source.info.modified;
    }

    Result Compress(const Item& item, Compressors& compressors) const
    {
        Result result{item.entry, item.piece, item.pieces, item.data, {}, item.crc, item.modified, item.room};
        if (m_options.level == 0) {
            // nothing to deflate
        } else if (item.pieces == 1) {
            if (item.data.size() >= ProbeFrom && !LooksCompressible(item.data, compressors.fast.get()))
                return result;
            // Whole: only output smaller than the input is kept.
            result.deflated = Deflated(item.data, compressors.real.get(), item.data.size() - 1);
        } else if (m_methods[size_t(item.entry)] != Store) {
            // A piece: deflated on its own, always (whether the entry is
            // stored is decided by its first pieces together).
            result.deflated = Deflated(item.data, compressors.real.get(),
                                       qsizetype(libdeflate_deflate_compress_bound(compressors.real.get(), size_t(item.data.size()))));
            if (item.piece + 1 < item.pieces)
                MakeJoinable(result.deflated, item.data.size(), compressors.scratch);
        }
        return result;
    }

    // The writer, on the calling thread: puts the results in the archive in order.
    QList<Entry> Write(const QString& path)
    {
        qint64 total = 0;
        for (qint64 size : m_sizes)
            total += security::HeaderSize + size;
        int error = 0;
        platform::File file = platform::CreateNew(path, error);
        if (!file.IsOpen())
            throw RuntimeError(err::NumberOfErrno(error), path);
        ZipWriter zip(file, platform::NewEntryMarks());
        const auto failed = [&] {
            const int code = zip.Error() ? zip.Error() : errno;
            return RuntimeError::Because(err::NumberOfErrno(code), platform::ErrorText(code), path);
        };

        QList<Entry> written;
        Entry entry;
        Method method = Undecided;
        qint64 done = 0;
        for (qint64 seq = 0;; ++seq) {
            std::optional<std::vector<Result>> next = Take(seq);
            if (!next)
                break;
            for (Result& result : *next) {
                if (result.piece == 0) {
                    method = Decide(result, seq);
                    m_methods[size_t(result.entry)] = method;
                    entry = Entry{m_workbooks[result.entry].entryName, 0, 0, 0, method == Deflate, {}};
                }
                const QByteArray& bytes = method == Deflate ? result.deflated : result.raw;
                if (result.piece == 0 && !zip.Begin(HeaderOf(m_workbooks[result.entry], method, result, bytes)))
                    throw failed();
                if (!zip.Write(bytes.constData(), bytes.size()))
                    throw failed();
                // A piece is 1 MiB: its length fits zlib's offset on every system.
                entry.crc = result.pieces == 1 ? result.crc
                                               : quint32(crc32_combine(entry.crc, result.crc, z_off_t(result.raw.size())));
                entry.size += result.raw.size();
                entry.compressed += bytes.size();
                if (result.pieces > 1 && method == Deflate)
                    entry.pieces << zipformat::Piece{bytes.size(), result.raw.size(), result.crc};
                done += result.raw.size();
                GiveRoom(result.room);
                if (result.piece + 1 == result.pieces) {
                    if (!zip.End(entry.crc, quint64(entry.size)))
                        throw failed();
                    written << entry;
                    if (m_options.entryDone)
                        m_options.entryDone(entry);
                }
            }
            if (m_options.progress)
                m_options.progress(done, total);
        }
        if (!zip.Finish())
            throw failed();
        return written;
    }

    void Fail(std::exception_ptr error)
    {
        const std::lock_guard lock(m_mutex);
        if (!m_error)
            m_error = error;
        StopLocked();
    }

    void Stop()
    {
        const std::lock_guard lock(m_mutex);
        StopLocked();
    }

private:
    void StopLocked()
    {
        m_stop = true;
        m_taskReady.notify_all();
        m_resultReady.notify_all();
        m_roomFreed.notify_all();
    }

    bool TakeRoom(qint64 size, bool mayWait)
    {
        std::unique_lock lock(m_mutex);
        const auto roomy = [&] { return m_room >= size || m_room == InFlight; };
        if (mayWait)
            m_roomFreed.wait(lock, [&] { return m_stop || roomy(); });
        if (m_stop || !roomy())
            return false;
        m_room -= size;
        return true;
    }

    // Hands the batch on as a task, if it holds anything.
    void Send()
    {
        Production& p = m_production;
        if (!p.batch.items.empty()) {
            Push(std::move(p.batch));
            p.batch = Task{};
            p.batched = 0;
        }
    }

    void GiveRoom(qint64 size)
    {
        const std::lock_guard lock(m_mutex);
        m_room += size;
        m_roomFreed.notify_one();
    }

    void Push(Task&& task)
    {
        const std::lock_guard lock(m_mutex);
        task.seq = m_pushed++;
        m_tasks.push_back(std::move(task));
        m_taskReady.notify_one();
    }

    // The writer waits until `ready` holds, while nothing failed and the
    // program goes on. Where threads are missing, it deflates tasks and
    // produces them itself meanwhile.
    void WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready)
    {
        while (!ready()) {
            if (m_error)
                std::rethrow_exception(m_error);
            if (ending::Requested())
                throw ending::ProgramEnding();
            if (m_helpWhileWaiting && !m_tasks.empty()) {
                Task task = std::move(m_tasks.front());
                m_tasks.pop_front();
                lock.unlock();
                std::vector<Result> results = Process(task, m_writerCompressors);
                lock.lock();
                m_results.emplace(task.seq, std::move(results));
                continue;
            }
            if (!m_producerThread && !m_produced) {
                lock.unlock();
                ProduceStep(false);
                lock.lock();
                continue;
            }
            m_resultReady.wait_for(lock, std::chrono::milliseconds(100));
        }
        if (m_error)
            std::rethrow_exception(m_error);
    }

    // The results of task `seq`, or nothing once every task is done.
    std::optional<std::vector<Result>> Take(qint64 seq)
    {
        std::unique_lock lock(m_mutex);
        WaitUntil(lock, [&] { return m_results.count(seq) > 0 || (m_produced && seq >= m_pushed); });
        const auto it = m_results.find(seq);
        if (it == m_results.end())
            return std::nullopt;
        std::vector<Result> results = std::move(it->second);
        m_results.erase(it);
        return results;
    }

    // Stored or deflated: a whole package by its own result; a large one by
    // its first pieces (one task each), which are waited for.
    Method Decide(const Result& first, qint64 seq)
    {
        if (m_options.level == 0)
            return Store;
        if (first.pieces == 1)
            return first.deflated.isEmpty() ? Store : Deflate;
        const int deciding = std::min(DecidingPieces, first.pieces);
        std::unique_lock lock(m_mutex);
        WaitUntil(lock, [&] {
            for (int i = 1; i < deciding; ++i) {
                if (!m_results.count(seq + i))
                    return false;
            }
            return true;
        });
        qint64 raw = first.raw.size(), deflated = first.deflated.size();
        for (int i = 1; i < deciding; ++i) {
            raw += m_results[seq + i].front().raw.size();
            deflated += m_results[seq + i].front().deflated.size();
        }
        return deflated < raw ? Deflate : Store;
    }

    // An entry's local header; its CRC and sizes where they are known now (a
    // whole package), else they are given when it ends.
    ZipWriter::Header HeaderOf(const Workbook& workbook, Method method, const Result& first,
                               const QByteArray& bytes) const
    {
        ZipWriter::Header header;
        header.name = workbook.entryName.toUtf8();
        header.flag = zipformat::NeedsUtf8Flag(header.name) ? zipformat::Utf8Flag : 0;
        if (method == Deflate)  // how hard, as zip marks it
            header.flag |= zipformat::DeflateOptionFlags(m_options.level);
        header.method = method == Deflate ? zipformat::Deflated : zipformat::Stored;
        header.dosTime = zipformat::DosTime(first.modified);
        if (first.pieces == 1) {
            header.crc = first.crc;
            header.compressed = quint64(bytes.size());
            header.size = quint64(first.raw.size());
        }
        return header;
    }

    const QList<Workbook>& m_workbooks;
    std::vector<qint64> m_sizes;  // of the workbooks, as found before packing
    const Options& m_options;
    std::vector<std::atomic<int>> m_methods;  // per entry, once decided

    std::mutex m_mutex;
    std::condition_variable m_taskReady;    // workers wait on it
    std::condition_variable m_resultReady;  // the writer waits on it
    std::condition_variable m_roomFreed;    // the producer waits on it
    std::deque<Task> m_tasks;
    std::map<qint64, std::vector<Result>> m_results;
    qint64 m_room = InFlight;
    qint64 m_pushed = 0;
    bool m_produced = false;
    std::atomic<bool> m_stop{false};
    std::exception_ptr m_error;

    // The producer's state from step to step: one thread's at a time (the
    // producer's, or the writer's where that could not be started).
    struct Production {
        int entry = 0;                // the next workbook
        std::optional<Source> large;  // a large workbook being cut into pieces
        QByteArray header;            // its package header
        int piece = 0, pieces = 0;
        qint64 at = 0, packageSize = 0;
        Task batch;  // small workbooks gathered for one task
        qint64 batched = 0;
        bool done = false;
    } m_production;
    bool m_producerThread = true;
    bool m_helpWhileWaiting = false;
    Compressors m_writerCompressors{m_options.level};  // for the tasks the writer deflates
};
}  // namespace

QList<Entry> WriteArchive(const QString& path, const QList<Workbook>& workbooks, const Options& options)
{
    Pipeline pipeline(workbooks, options);
    const int threads = options.threads > 0 ? options.threads : int(std::max(1u, std::thread::hardware_concurrency()));
    Parallel helpers;
    const auto guarded = [&pipeline](auto work) {
        return [&pipeline, work] {
            try {
                work();
            } catch (...) {
                pipeline.Fail(std::current_exception());
            }
        };
    };
    struct Joiner {  // whatever way Write leaves, the helpers stop and are gone
        Pipeline& pipeline;
        Parallel& helpers;
        ~Joiner()
        {
            pipeline.Stop();
            try {
                helpers.Join();
            } catch (...) {  // nothing: what they threw went to the pipeline
            }
        }
    } joiner{pipeline, helpers};
    const bool producer = helpers.Start(guarded([&] { pipeline.Produce(); }));
    const int workers = helpers.Start(threads, guarded([&] { pipeline.Work(); }));
    pipeline.Started(producer, workers, threads);
    return pipeline.Write(path);
}

}  // namespace engine
