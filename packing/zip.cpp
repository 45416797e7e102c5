#include "zip.h"

#include "base/Ending.h"
#include "base/RuntimeError.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>

namespace zip {
namespace {
QString programFolderOverride;
constexpr qsizetype KeptOutput = 4096;
constexpr int TerminateGrace = 3000;  // ms an ended archiver has to clean up before it is killed

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
    ending::ThrowIfRequested();
    ArchiverResult result;
    const std::optional<QString> line = CommandLine(ProgramFolder(), inputPath, outputPath, mode);
    if (!line)
        return result;

    QStringList arguments = QProcess::splitCommand(*line);
    result.program = arguments.takeFirst();
    const QFileInfo program(platform::ProgramFile(result.program));
    if (!program.exists())
        throw RuntimeError(err::FileNotFound, program.filePath());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"ZIP", "ZIPOPT", "UNZIP", "UNZIPOPT"})
        environment.remove(QString::fromLatin1(name));
    // Grow the archive; no extra fields (owner, times); names as UTF-8 where
    // they are not ASCII (Windows' zip would write escapes otherwise):
    // entries as quillfold-pack writes them.
    if (mode == u"zip")
        environment.insert(QStringLiteral("ZIPOPT"), QStringLiteral("-g -X -UN=UTF8"));
    else
        environment.insert(QStringLiteral("UNZIP"), QStringLiteral("-n"));

    QProcess process;
    process.setProgram(result.program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    // zip says why it failed on stdout, unzip on either: keep the end of both.
    process.setProcessChannelMode(QProcess::MergedChannels);
    // No terminal to ask questions on, and it dies with this program.
    platform::PrepareChild(process);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [&] {
        result.output += QString::fromLocal8Bit(process.readAllStandardOutput());
        if (result.output.size() > KeptOutput)
            result.output = result.output.right(KeptOutput);
    });

    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    process.start();
    if (!process.waitForStarted()) {
        const int number = program.isExecutable() ? err::PathFileAccess : err::PermissionDenied;
        throw RuntimeError::Because(number, process.errorString(), result.program);
    }
    result.started = true;
    platform::ChildStarted(process);

    if (process.state() != QProcess::NotRunning) {
        const ending::WaitScope waiting;
        loop.exec();  // also left when the program is being ended
    }
    if (ending::Requested() && process.state() != QProcess::NotRunning) {
        // Stop it, and see it gone, so that it cannot write anything after us.
        platform::StopChild(process, TerminateGrace);
    }
    ending::ThrowIfRequested();

    result.output += QString::fromLocal8Bit(process.readAllStandardOutput());
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
    // Its own last words: zip gives the cause on one line and the outcome on the next.
    QStringList said = result.output.split(u'\n', Qt::SkipEmptyParts);
    for (QString& line : said)
        line = line.trimmed();
    said.removeAll(QString());
    if (!said.isEmpty())
        description += QStringLiteral(" (%1)").arg(said.mid(std::max<qsizetype>(0, said.size() - 3)).join(QStringLiteral("; ")));
    throw RuntimeError(err::ArchiverFailed, description, inputPath + QStringLiteral("\n") + outputPath);
}

}  // namespace zip
