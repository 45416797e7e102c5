#include "Cli.h"

#include "base/RuntimeError.h"
#include "base/text.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QUtf8StringView>

#include <cerrno>
#include <cstdio>
#include <string>

namespace cli {

Program::Program(int argc, char** argv, const char* name, const char* version, const char* description, int badUsage)
    : m_argc(argc), m_argv(argv), m_name(name), m_version(version), m_badUsage(badUsage)
{
    QCoreApplication::setApplicationName(QString::fromLatin1(name));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(version));
    parser.setApplicationDescription(QString::fromLatin1(description));
    // "-x.xls" is one (unknown) option, not the letters x, ., x, l and s.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    platform::ErrorsNotSignals();
    platform::WriteTextToConsole(out, stdout);
    platform::WriteTextToConsole(err, stderr);
}

std::optional<int> Program::ParseOrEnd()
{
    // A name the system would hand over changed would name another file.
    for (const QByteArray& raw : platform::InexactArguments(m_argc, m_argv)) {
        QString problem = text::PrintableBytes(raw) + QStringLiteral(": the name is not valid UTF-8");
        if (const QString thai = text::FromAnsi(raw); !thai.contains(QChar::ReplacementCharacter) && !text::HasControl(thai))
            problem += QStringLiteral(" (as Windows-874: \"%1\")").arg(thai);
        err << m_name << ": " << problem << "; Quillfold takes names in UTF-8 only: rename the file" << Qt::endl;
        return m_badUsage;
    }
    if (!parser.parse(QCoreApplication::arguments())) {
        const QStringList unknown = parser.unknownOptionNames();
        if (unknown.isEmpty())
            return Usage(parser.errorText());
        // As it was typed: "-x.xls", "--bogus".
        const QString name = unknown.first();
        QString typed = QStringLiteral("--") + name;
        for (const QString& argument : QCoreApplication::arguments()) {
            if (argument == u'-' + name || argument.startsWith(u'-' + name + u'='))
                typed = argument.section(u'=', 0, 0);
        }
        return Usage(QStringLiteral("Unknown option %1").arg(typed));
    }
    if (parser.isSet(QStringLiteral("help"))) {
        out << parser.helpText();
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        out << m_name << ' ' << m_version << Qt::endl;
        return 0;
    }
    return std::nullopt;
}

int Program::Usage(const QString& problem)
{
    err << m_name << ": " << problem << Qt::endl << "Try '" << m_name << " --help'." << Qt::endl;
    return m_badUsage;
}

Lines::Lines(QTextStream& stream) : m_stream(stream)
{
    m_sinceFlush.start();
}

void Lines::Line(const QString& line)
{
    m_stream << line << '\n';
    m_pending = true;
    Tick();
}

void Lines::Tick()
{
    constexpr int Wait = 50;  // ms
    if (m_pending && m_sinceFlush.elapsed() >= Wait)
        Flush();
}

void Lines::Flush()
{
    m_stream.flush();
    m_pending = false;
    m_sinceFlush.restart();
    if (m_stream.status() != QTextStream::Ok) {
        const QString why = m_stream.device() ? m_stream.device()->errorString() : QString();
        throw RuntimeError(err::DeviceIO, QStringLiteral("cannot write to standard output (%1)").arg(why), QString());
    }
}

std::optional<QString> FirstLine(const QString& path, QString& why)
{
    // Read in blocks and no further than a line can sensibly be: a file with
    // no line end (a workbook named by mistake, a device) is refused at once.
    QByteArray bytes;
    if (path == u"-") {
        for (int c = 0; bytes.size() <= LongestLine && (c = std::fgetc(stdin)) != EOF && c != '\n';)
            bytes += char(c);
        if (std::ferror(stdin)) {
            why = platform::ErrorText(errno);
            return std::nullopt;
        }
    } else {
        int error = 0;
        platform::File file = platform::OpenForReading(path, error);
        if (!file.IsOpen()) {
            why = platform::ErrorText(error);
            return std::nullopt;
        }
        char block[4096];
        for (qint64 n = 0; bytes.size() <= LongestLine && (n = file.Read(block, sizeof block)) != 0;) {
            if (n < 0) {
                why = platform::ErrorText(errno);
                return std::nullopt;
            }
            const qsizetype end = QByteArrayView(block, n).indexOf('\n');
            bytes.append(block, end < 0 ? n : end);
            if (end >= 0)
                break;
        }
    }
    if (bytes.size() > LongestLine) {
        why = QStringLiteral("its first line is longer than %1 bytes, far more than a password takes").arg(LongestLine);
        return std::nullopt;
    }
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    if (bytes.startsWith("\xEF\xBB\xBF"))  // a byte-order mark, as some editors write one
        bytes.remove(0, 3);
    // UTF-8, on every system; failing that, the Thai code page.
    return QUtf8StringView(bytes).isValidUtf8() ? QString::fromUtf8(bytes) : text::FromAnsi(bytes);
}

std::optional<QString> Password(const QString& file, bool twice, QString& why)
{
    if (!file.isEmpty()) {
        const std::optional<QString> line = FirstLine(file, why);
        if (!line)
            why = QStringLiteral("%1: cannot read the password file: %2").arg(file, why);
        return line;
    }
    if (!platform::InputIsTerminal()) {
        const std::optional<QString> line = FirstLine(QStringLiteral("-"), why);
        if (!line)
            why = QStringLiteral("cannot read the password from standard input: %1").arg(why);
        return line;
    }
    const QString password = platform::ReadHidden("Password: ");
    if (twice && platform::ReadHidden("Password again: ") != password) {
        why = QStringLiteral("the two passwords differ");
        return std::nullopt;
    }
    return password;
}

}  // namespace cli
