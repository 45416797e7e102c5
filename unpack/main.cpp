// quillfold-unpack: the recipient's side of Quillfold.
#include "packing/Unpack.h"
#include "packing/text.h"
#include "version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <iostream>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {
const char* Description =
    "Lists the packages in Quillfold archives (ARCHIVE.zip) and package files\n"
    "(PACKAGE.enc): name, user ID, size and whether the length in the header\n"
    "matches. With a password, checks it; with --out, restores each workbook\n"
    "into DIR, named after its package with the extension its content shows\n"
    "(.xls, .xlsx or .bin). Existing files are never overwritten, and nothing is\n"
    "restored when the password does not match. Without --password, the password\n"
    "is asked for when a terminal is there (Enter alone skips the check).\n"
    "\n"
    "Exit codes: 0 all good, 1 a check failed, 2 bad usage or unreadable input.";

// Reads a line from the terminal without showing it.
QString AskPassword()
{
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    termios saved{};
    const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
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
    return unpack::Run(options, out, err);
}
