#include "Cli.h"

#include "packing/RuntimeError.h"
#include "platform/platform.h"
#include "packing/text.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace cli {
namespace {
termios savedTerminal{};

void RestoreTerminalAndDie(int signal)
{
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}
}  // namespace

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
    // Output that cannot be written is an error to report, not a signal that
    // ends the program before it can clean up.
    std::signal(SIGPIPE, SIG_IGN);
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
    std::FILE* file = path == u"-" ? stdin : std::fopen(QFile::encodeName(path).constData(), "r");
    if (!file) {
        why = platform::ErrorText(errno);
        return std::nullopt;
    }
    std::string bytes;
    int c = 0;
    while ((c = std::fgetc(file)) != EOF && c != '\n')
        bytes += char(c);
    const bool failed = std::ferror(file);
    const int code = errno;
    if (file != stdin)
        std::fclose(file);
    if (failed) {
        why = platform::ErrorText(code);
        return std::nullopt;
    }
    if (!bytes.empty() && bytes.back() == '\r')
        bytes.pop_back();
    return QString::fromLocal8Bit(bytes);
}

bool InputIsTerminal()
{
    return ::isatty(STDIN_FILENO);
}

QString AskHidden(const char* question)
{
    const bool terminal = ::tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
    constexpr int Signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction previous[std::size(Signals)] {};
    if (terminal) {
        struct sigaction restore {};
        restore.sa_handler = RestoreTerminalAndDie;
        sigemptyset(&restore.sa_mask);
        for (size_t i = 0; i < std::size(Signals); ++i)
            ::sigaction(Signals[i], &restore, &previous[i]);
        termios quiet = savedTerminal;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    // Asked only once nothing typed can show any more.
    std::fputs(question, stderr);
    std::fflush(stderr);
    std::string line;
    std::getline(std::cin, line);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
        for (size_t i = 0; i < std::size(Signals); ++i)
            ::sigaction(Signals[i], &previous[i], nullptr);
    }
    std::fputs("\n", stderr);
    return QString::fromLocal8Bit(line);
}

}  // namespace cli
