#pragma once
// Small file helpers shared by the tests.

#include "packing/RuntimeError.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <functional>
#include <mutex>

namespace testfiles {

inline void WriteFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

inline QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The entry names of an archive, in their order, as Debian's unzip lists them.
inline QStringList EntriesOf(const QString& archive)
{
    QProcess list;
    list.start(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive});
    list.waitForFinished();
    return QString::fromUtf8(list.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

// The bytes of an archive entry as Debian's unzip extracts them.
inline QByteArray EntryContent(const QString& archive, const QString& entry)
{
    QProcess extract;
    extract.start(QStringLiteral("unzip"), {QStringLiteral("-p"), archive, entry});
    extract.waitForFinished(-1);
    return extract.readAllStandardOutput();
}

// Random bytes, from the given generator or the global one.
inline QByteArray RandomBytes(qint64 size, QRandomGenerator* random = QRandomGenerator::global())
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(random->bounded(256));
    return bytes;
}

// A program built beside the tests.
inline QString BuiltProgram(const QString& name)
{
    return QCoreApplication::applicationDirPath() + u'/' + name;
}

// Makes `folder` a program folder whose bin/zip (and bin/unzip, if asked)
// is the tests' stand-in archiver; returns the folder.
inline QString StandInFolder(const QString& folder, const QStringList& programs = {QStringLiteral("zip")})
{
    QDir().mkpath(folder + QStringLiteral("/bin"));
    for (const QString& program : programs) {
        const QString link = folder + QStringLiteral("/bin/") + program;
        if (!QFileInfo::exists(link) && !QFile::link(BuiltProgram(QStringLiteral("standin")), link))
            qFatal("cannot make %s", qPrintable(link));
    }
    return folder;
}

// The number of the run-time error that `call` throws, or 0.
inline int ErrorNumberOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const RuntimeError& error) {
        return error.number();
    }
    return 0;
}

// Records, in order, the calls that read workbooks and put files on disk for
// good ("SyncFile <path>", "Rename <from> <to>", ...), and makes those fail
// that `fail` returns an error code for. In place while it lives.
class RecordingProbe : public platform::Probe {
public:
    std::function<int(platform::Call, const QString& path)> fail;

    RecordingProbe() { platform::SetProbe(this); }
    ~RecordingProbe() override { platform::SetProbe(nullptr); }

    int Before(platform::Call call, const QString& path, const QString& other) override
    {
        static const char* names[] = {"OpenForReading", "SyncFile", "SyncAll", "SyncFolder", "Rename"};
        const std::lock_guard lock(m_mutex);
        m_calls << (QString::fromLatin1(names[int(call)]) + u' ' + path + (other.isEmpty() ? QString() : u' ' + other));
        return fail ? fail(call, path) : 0;
    }
    QStringList Calls() const
    {
        const std::lock_guard lock(m_mutex);
        return m_calls;
    }
    // Where the first call that starts with `prefix` is, or -1.
    qsizetype IndexOf(const QString& prefix) const
    {
        const QStringList calls = Calls();
        for (qsizetype i = 0; i < calls.size(); ++i) {
            if (calls[i].startsWith(prefix))
                return i;
        }
        return -1;
    }

    // True if `to` got its name from a file that was on disk first, and the
    // rename was on disk before the call that reports success.
    bool DurablyNamed(const QString& to) const
    {
        const QStringList calls = Calls();
        qsizetype rename = -1;
        QString from;
        for (qsizetype i = 0; i < calls.size(); ++i) {
            if (calls[i].startsWith("Rename ") && calls[i].endsWith(u' ' + to)) {
                rename = i;
                from = calls[i].mid(7, calls[i].size() - 8 - to.size());
            }
        }
        if (rename < 0)
            return false;
        const QString folder = QFileInfo(to).path();
        const auto before = calls.mid(0, rename), after = calls.mid(rename + 1);
        const bool synced = before.contains("SyncFile " + from) || before.contains("SyncAll " + QFileInfo(from).path());
        return synced && after.contains("SyncFolder " + folder);
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_calls;
};

}  // namespace testfiles
