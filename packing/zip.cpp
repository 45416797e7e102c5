#include "zip.h"

#include "RuntimeError.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace zip {
namespace {
int waitDepth = 0;
QString programFolderOverride;
constexpr qsizetype KeptErrorOutput = 4096;

// In double quotes; a quote inside is written as three, which QProcess::splitCommand reads back as one.
QString Quoted(const QString& path)
{
    QString inner = path;
    inner.replace(u'"', QStringLiteral("\"\"\""));
    return u'"' + inner + u'"';
}

// unzip matches the file name of its archive argument as a pattern when any
// file matches it; brackets make every character stand for itself.
QString LiteralForUnzip(const QString& archive)
{
    const qsizetype nameStart = archive.lastIndexOf(u'/') + 1;
    QString result = archive.left(nameStart);
    for (QChar c : QStringView(archive).mid(nameStart)) {
        if (c == u'*' || c == u'?' || c == u'[')
            result += u'[' + QString(c) + u']';
        else
            result += c;
    }
    return result;
}
}  // namespace

std::optional<QString> CommandLine(const QString& programFolder, const QString& inputPath,
                                   const QString& outputPath, const QString& mode)
{
    if (mode == u"zip") {
        return Quoted(programFolder + QStringLiteral("/bin/zip")) + QStringLiteral(" -q -j ") + Quoted(outputPath) +
               u' ' + Quoted(inputPath);
    }
    if (mode == u"unzip") {
        return Quoted(programFolder + QStringLiteral("/bin/unzip")) + QStringLiteral(" -j ") +
               Quoted(LiteralForUnzip(inputPath)) + QStringLiteral(" -d ") + Quoted(outputPath);
    }
    return std::nullopt;
}

QString ProgramFolder()
{
    return programFolderOverride.isEmpty() ? QCoreApplication::applicationDirPath() : programFolderOverride;
}

void SetProgramFolder(const QString& folder)
{
    programFolderOverride = folder;
}

ArchiverResult RunArchiver(const QString& inputPath, const QString& outputPath, const QString& mode)
{
    ArchiverResult result;
    const std::optional<QString> line = CommandLine(ProgramFolder(), inputPath, outputPath, mode);
    if (!line)
        return result;

    QStringList arguments = QProcess::splitCommand(*line);
    result.program = arguments.takeFirst();
    const QFileInfo program(result.program);
    if (!program.exists())
        throw RuntimeError(err::FileNotFound, result.program);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"ZIP", "ZIPOPT", "UNZIP", "UNZIPOPT"})
        environment.remove(QString::fromLatin1(name));
    if (mode == u"zip")
        environment.insert(QStringLiteral("ZIPOPT"), QStringLiteral("-g"));
    else
        environment.insert(QStringLiteral("UNZIP"), QStringLiteral("-n"));

    QProcess process;
    process.setProgram(result.program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    // A session of its own: no terminal to ask questions on, and a Ctrl+C or the
    // end of this program does not reach it.
    process.setChildProcessModifier([] { ::setsid(); });
    QObject::connect(&process, &QProcess::readyReadStandardError, [&] {
        result.errorOutput += QString::fromLocal8Bit(process.readAllStandardError());
        if (result.errorOutput.size() > KeptErrorOutput)
            result.errorOutput = result.errorOutput.right(KeptErrorOutput);
    });

    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    process.start();
    if (!process.waitForStarted()) {
        const int number = program.isExecutable() ? err::PathFileAccess : err::PermissionDenied;
        throw RuntimeError(number, QStringLiteral("%1 (%2)").arg(err::Description(number), process.errorString()),
                           result.program);
    }
    result.started = true;

    ++waitDepth;
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    --waitDepth;

    result.errorOutput += QString::fromLocal8Bit(process.readAllStandardError());
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = process.exitCode();
    return result;
}

void RequireSuccess(const ArchiverResult& result, const QString& inputPath, const QString& outputPath)
{
    if (result.ok())
        return;
    const QString name = QFileInfo(result.program).fileName();
    QString description = result.crashed ? QStringLiteral("%1 crashed").arg(name)
                                         : QStringLiteral("%1 ended with exit code %2").arg(name).arg(result.exitCode);
    const QStringList said = result.errorOutput.split(u'\n', Qt::SkipEmptyParts);
    if (!said.isEmpty())
        description += QStringLiteral(" (%1)").arg(said.last().trimmed());
    throw RuntimeError(err::ArchiverFailed, description, inputPath + QStringLiteral("\n") + outputPath);
}

bool IsWaiting()
{
    return waitDepth > 0;
}

}  // namespace zip

void EndProgram()
{
    if (zip::IsWaiting()) {
        // Leaving the wait would run the rest of the command; end here instead.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    QCoreApplication::exit(0);
}
