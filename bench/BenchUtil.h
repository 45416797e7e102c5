#pragma once
// Small helpers shared by the benchmarks: wall and processor clocks, ours
// and the peer's timed pair by pair, running a shell command as the peer, and
// the peak memory of a child process.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace bench {

inline double Seconds(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor time used so far by this process and by the children it waited
// for (their children too), in seconds.
inline double ProcessorSeconds()
{
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

// A piece of work's wall time and processor time.
struct Times {
    double wall = 0;
    double cpu = 0;
};

inline Times Timed(const std::function<void()>& work)
{
    const double cpu = ProcessorSeconds();
    const double wall = Seconds(work);
    return {wall, ProcessorSeconds() - cpu};
}

// Ours against the peer, round by round.
struct Comparison {
    Times ours, peer;         // the medians
    double ratio = 0;         // the median of the rounds' wall ratios
    double cpuRatio = 0;      // and of their processor-time ratios
    int rounds = 0;
};

inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Times ours and the peer's work pair by pair (ours, peer, ours, peer ...),
// so that both meet the same conditions and one busy moment spoils one
// pair's ratio, not the line: the ratio is the median of the pairs'. Takes
// `rounds` rounds, and at least 7 when a round takes less than 5 s. Before
// each timing, `prepare` runs untimed and the disk is synced, so neither
// pays for the other's write-back.
inline Comparison Alternating(int rounds, const std::function<void()>& ours, const std::function<void()>& peer,
                              const std::function<void()>& prepare = [] {})
{
    std::vector<double> walls[2], cpus[2], ratios, cpuRatios;
    for (int i = 0; i < rounds; ++i) {
        for (int side = 0; side < 2; ++side) {
            prepare();
            sync();
            const Times t = Timed(side == 0 ? ours : peer);
            walls[side].push_back(t.wall);
            cpus[side].push_back(t.cpu);
        }
        ratios.push_back(walls[0].back() / walls[1].back());
        cpuRatios.push_back(cpus[0].back() / std::max(cpus[1].back(), 1e-6));
        if (i == 0 && std::max(walls[0].back(), walls[1].back()) < 5)
            rounds = std::max(rounds, 7);
    }
    return {{Median(walls[0]), Median(cpus[0])}, {Median(walls[1]), Median(cpus[1])}, Median(ratios),
            Median(cpuRatios), rounds};
}

// Runs argv as a child and waits; returns its peak resident set in KiB.
inline long RunChild(const std::vector<QByteArray>& argv)
{
    std::vector<char*> args;
    for (const QByteArray& a : argv)
        args.push_back(const_cast<char*>(a.constData()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", args[0]);
        std::exit(2);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", args[0]);
        std::exit(2);
    }
    return usage.ru_maxrss;
}

inline void Shell(const QByteArray& command)
{
    RunChild({"/bin/sh", "-c", command});
}

inline QByteArray Quoted(const QString& path)
{
    return "'" + path.toUtf8().replace("'", "'\\''") + "'";
}

inline void WriteRandomFile(const QString& path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(2);
    }
    QRandomGenerator generator(seed);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= block.size()) {
        generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        file.write(block.constData(), std::min<qint64>(left, block.size()));
    }
}

// `count` files of `size` random bytes in `folder` (made when missing), named
// by `pattern` with their number in four digits; returns their paths.
inline QStringList RandomFiles(const QString& folder, const char* pattern, int count, qint64 size)
{
    QDir().mkpath(folder);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        paths << folder + u'/' + QString::fromLatin1(pattern).arg(i, 4, 10, QLatin1Char('0'));
        WriteRandomFile(paths.last(), size, quint32(i + 1));
    }
    return paths;
}

// A workbook of `size` bytes shaped like an old Excel file: the compound-file
// signature, a table of repeated strings, then BIFF records (rows, numbers of
// a few digits, dates, labels pointing at the strings). It deflates about
// 3 to 5 times, as real .xls files do.
inline QByteArray BiffLike(qint64 size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray out("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    out.append(504, '\0');
    const char* words[] = {"Bangkok", "Chiang Mai", "total", "quarter", "north", "south", "office supplies",
                           "travel", "salary", "rent", "paid", "pending", "branch", "region"};
    const auto record = [&](quint16 type, const QByteArray& body) {
        const quint16 head[2] = {type, quint16(body.size())};
        out.append(reinterpret_cast<const char*>(head), 4).append(body);
    };
    QByteArray strings;
    for (int i = 0; i < 200; ++i)
        strings += QByteArray(words[i % 14]) + ' ' + QByteArray::number(i / 14) + '\0';
    record(0x00FC, strings.left(8000));
    for (quint16 row = 0; out.size() < size; ++row) {
        const quint16 rowRecord[8] = {row, 0, 8, 0x0120, 0, 0, 0x0F, 0};
        record(0x0208, QByteArray(reinterpret_cast<const char*>(rowRecord), 16));
        for (quint16 column = 0; column < 8; ++column) {
            struct { quint16 row, column, format; double value; } __attribute__((packed)) number{row, column, 15, 0};
            if (column == 0) {  // a date
                number.value = 45000 + random.bounded(365);
            } else if (column % 3 == 1) {  // a label
                const quint16 label[5] = {row, column, 17, quint16(random.bounded(200)), 0};
                record(0x00FD, QByteArray(reinterpret_cast<const char*>(label), 10));
                continue;
            } else {  // an amount
                number.value = double(random.bounded(1000000)) / 100;
            }
            record(0x0203, QByteArray(reinterpret_cast<const char*>(&number), sizeof number));
        }
    }
    out.truncate(size);
    return out;
}

// `count` files in `folder` (made when missing) named by `pattern`: BIFF-like,
// except every `noiseEvery`-th (0: none), which is noise, as an .xlsx is to a
// compressor. Returns their paths.
inline QStringList Workbooks(const QString& folder, const char* pattern, int count, qint64 size, int noiseEvery = 0)
{
    QDir().mkpath(folder);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        paths << folder + u'/' + QString::fromLatin1(pattern).arg(i, 4, 10, QLatin1Char('0'));
        if (noiseEvery && i % noiseEvery == noiseEvery - 1) {
            WriteRandomFile(paths.last(), size, quint32(i + 1));
        } else {
            QFile file(paths.last());
            if (!file.open(QIODevice::WriteOnly) || file.write(BiffLike(size, quint32(i + 1))) != size)
                std::exit(2);
        }
    }
    return paths;
}

inline void PrintRatio(const char* name, double ours, double peer)
{
    std::printf("%s: ratio=%.3f  (ours %.3f s, peer %.3f s)\n", name, ours / peer, ours, peer);
    std::fflush(stdout);
}

// NAME: ratio=R cpu=C, the medians of the pairs' ratios, then the times.
inline void PrintRatio(const char* name, const Comparison& c, const char* peerName = "peer")
{
    std::printf("%s: ratio=%.3f cpu=%.3f  (ours %.3f s, %.3f s of processor; %s %.3f s, %.3f s; %d rounds)\n", name,
                c.ratio, c.cpuRatio, c.ours.wall, c.ours.cpu, peerName, c.peer.wall, c.peer.cpu, c.rounds);
    std::fflush(stdout);
}

}  // namespace bench
