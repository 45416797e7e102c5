#include "Cli.h"

#include <QCoreApplication>

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

Program::Program(const char* name, const char* version, const char* description, int badUsage)
    : m_name(name), m_version(version), m_badUsage(badUsage)
{
    QCoreApplication::setApplicationName(QString::fromLatin1(name));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(version));
    parser.setApplicationDescription(QString::fromLatin1(description));
    parser.addHelpOption();
    parser.addVersionOption();
}

std::optional<int> Program::ParseOrEnd()
{
    if (!parser.parse(QCoreApplication::arguments()))
        return Usage(parser.errorText());
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
