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

inline void PrintRatio(const char* name, double ours, double peer)
{
    std::printf("%s: ratio=%.3f  (ours %.3f s, peer %.3f s)\n", name, ours / peer, ours, peer);
    std::fflush(stdout);
}

}  // namespace bench
