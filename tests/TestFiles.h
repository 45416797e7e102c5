#pragma once
// Small file helpers shared by the tests.

#include "packing/RuntimeError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <functional>

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

}  // namespace testfiles
