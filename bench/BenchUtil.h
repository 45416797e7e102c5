#pragma once
// Small helpers shared by the benchmarks: a wall clock, running a shell
// command as the peer, and the peak memory of a child process.

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

// Times ours and the peer's work in alternation, so that both meet the same
// conditions, and returns the two medians. Before each timing, `prepare` runs
// untimed and the disk is synced, so neither pays for the other's write-back.
inline std::pair<double, double> Alternating(int rounds, const std::function<void()>& ours,
                                             const std::function<void()>& peer,
                                             const std::function<void()>& prepare = [] {})
{
    std::vector<double> a, b;
    for (int i = 0; i < rounds; ++i) {
        prepare();
        sync();
        a.push_back(Seconds(ours));
        prepare();
        sync();
        b.push_back(Seconds(peer));
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return {a[a.size() / 2], b[b.size() / 2]};
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

}  // namespace bench
