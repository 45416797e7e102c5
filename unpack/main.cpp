// quillfold-unpack: the recipient's side of Quillfold.
#include "packing/Ending.h"
#include "packing/Unpack.h"
#include "packing/text.h"
#include "version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <iterator>
#include <termios.h>
#include <unistd.h>

namespace {
const char* Description =
    "Lists the packages in Quillfold archives (ARCHIVE.zip) and package files\n"
    "(PACKAGE.enc): name, user ID, size and whether the length in the header\n"
    "matches. Every archive entry is read through and checked against its size\n"
    "and CRC; a damaged one is reported, never restored, and the others are still\n"
    "read. With a password, checks it; with --out, restores each workbook into\n"
    "DIR (made when missing), named after its package with the extension its\n"
    "content shows (.xls, .xlsx or .bin). Existing files are never overwritten,\n"
    "and nothing is restored when the password does not match or the free space\n"
    "is too small. Without --password, the password is asked for when a terminal\n"
    "is there (Enter alone skips the check).\n"
    "\n"
    "Exit codes: 0 all good, 1 a check failed or data is damaged, 2 bad usage or\n"
    "input that cannot be read; the worst that happened decides.";

termios savedTerminal{};

// Ctrl+C (or a kill) at the prompt: the terminal gets its echo back first.
void RestoreTerminalAndDie(int signal)
{
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Reads a line from the terminal without showing it.
QString AskPassword()
{
    const bool terminal = tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
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
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    // Asked only once nothing typed can show any more.
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    std::string line;
    std::getline(std::cin, line);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
        for (size_t i = 0; i < std::size(Signals); ++i)
            ::sigaction(Signals[i], &previous[i], nullptr);
    }
    std::fputs("\n", stderr);
    return QString::fromLocal8Bit(line);
}

int Usage(QTextStream& err, const QString& problem)
{
    err << "quillfold-unpack: " << problem << Qt::endl << "Try 'quillfold-unpack --help'." << Qt::endl;
    return unpack::BadInput;
}
}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillfold-unpack"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLFOLD_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption passwordOption(QStringLiteral("password"), QStringLiteral("The password to check."),
                                            QStringLiteral("P"));
    const QCommandLineOption outOption(QStringLiteral("out"), QStringLiteral("Restore the workbooks into DIR."),
                                       QStringLiteral("DIR"));
    parser.addOption(passwordOption);
    parser.addOption(outOption);
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("Archives and package files."),
                                 QStringLiteral("ARCHIVE.zip|PACKAGE.enc ..."));
    if (!parser.parse(QCoreApplication::arguments()))
        return Usage(err, parser.errorText());
    if (parser.isSet(helpOption)) {
        out << parser.helpText();
        return unpack::AllGood;
    }
    if (parser.isSet(versionOption)) {
        out << "quillfold-unpack " << QUILLFOLD_VERSION << Qt::endl;
        return unpack::AllGood;
    }

    unpack::Options options;
    options.inputs = parser.positionalArguments();
    options.outDir = parser.value(outOption);
    if (options.inputs.isEmpty())
        return Usage(err, QStringLiteral("no archive or package file given"));
    if (parser.isSet(passwordOption)) {
        options.password = parser.value(passwordOption);
    } else if (isatty(STDIN_FILENO)) {
        const QString typed = AskPassword();
        if (!typed.isEmpty())
            options.password = typed;
    }
    if (options.password && !text::IsAnsi(*options.password))
        return Usage(err, QStringLiteral("the password has characters that Quillfold cannot store"));
    if (!options.outDir.isEmpty() && !options.password)
        return Usage(err, QStringLiteral("--out needs the password: give --password, or run it in a terminal"));
    // Ctrl+C from here on: what is being restored is removed, nothing half-written stays.
    ending::EndOnSignals();
    try {
        return unpack::Run(options, out, err);
    } catch (const ending::ProgramEnding&) {
        err << "quillfold-unpack: interrupted" << Qt::endl;
        return 128 + SIGINT;
    }
}
