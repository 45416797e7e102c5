// quillfold-pack: a hand-over from the command line or a scheduled job.
#include "Cli.h"
#include "PackCli.h"
#include "version.h"
#include "base/Ending.h"
#include "platform/platform.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>


namespace {
const char* Description =
    "Packs workbooks into one ZIP archive for hand-over, as the Quillfold window\n"
    "does: each workbook becomes a package (the 57-byte header with the user ID\n"
    "and the password's digest, then the workbook XOR 0x02), named after it up to\n"
    "its first dot, with .enc. The archive is built beside ARCHIVE, read back,\n"
    "flushed to disk, and only then put in its place with one rename; an archive\n"
    "already there stays untouched until that moment, and after any failure or\n"
    "interrupt. ARCHIVE may be a symbolic link: the file it leads to is replaced,\n"
    "keeping its group and permissions. An existing ARCHIVE that is not a ZIP\n"
    "archive is replaced only with --replace; anything but a regular file never.\n"
    "\n"
    "The password comes from --password-file, or from standard input when that is\n"
    "not a terminal, or is asked for twice without echo. The user ID and password\n"
    "are trimmed and a to z upper-cased, as the window stores them: 1 to 12 and 3\n"
    "to 12 characters of the Thai code page (Windows-874).\n"
    "\n"
    "How hard to deflate, as in zip: -6 by default; -1 (or --fast) to -9 (or\n"
    "--best); -0 stores every package as it is. On 173 MB of .xls workbooks\n"
    "written by LibreOffice Calc, on two cores, -6 took 2.0 s; -1 a third of\n"
    "that for an archive 10 % larger; -9 4.7 times as long for one 4 % smaller\n"
    "(2.6 % smaller than zip -9's, in less time than zip -6 took).\n"
    "\n"
    "Exit codes: 0 all good; 1 a check or a file failed (nothing was changed);\n"
    "2 bad usage (credentials, clashing package names, the destination);\n"
    "128 + the signal's number when interrupted (nothing was changed).";

struct Level {
    const char* name;
    int level;
};
constexpr Level Levels[] = {{"0", 0}, {"1", 1}, {"2", 2}, {"3", 3}, {"4", 4}, {"5", 5},    {"6", 6},
                            {"7", 7}, {"8", 8}, {"9", 9}, {"fast", 1}, {"best", 9}};
}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    cli::Program program(argc, argv, "quillfold-pack", QUILLFOLD_VERSION, Description, packcli::BadUsage);
    QCommandLineParser& parser = program.parser;
    const QCommandLineOption userOption(QStringLiteral("user"), QStringLiteral("The user ID."), QStringLiteral("ID"));
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")},
                                          QStringLiteral("The archive to write."), QStringLiteral("ARCHIVE"));
    const QCommandLineOption passwordFileOption(QStringLiteral("password-file"),
                                                QStringLiteral("Read the password from the first line of F."),
                                                QStringLiteral("F"));
    const QCommandLineOption replaceOption(QStringLiteral("replace"),
                                           QStringLiteral("Replace ARCHIVE even if it is not a ZIP archive."));
    parser.addOption(userOption);
    parser.addOption(outputOption);
    parser.addOption(passwordFileOption);
    parser.addOption(replaceOption);
    // zip's levels as zip users type them, said once in the description.
    for (const Level& level : Levels) {
        QCommandLineOption option(QString::fromLatin1(level.name), QString());
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("The workbooks."), QStringLiteral("FILE..."));
    if (const auto code = program.ParseOrEnd())
        return *code;

    packcli::Options options;
    options.userID = parser.value(userOption);
    options.archive = parser.value(outputOption);
    options.files = parser.positionalArguments();
    options.replace = parser.isSet(replaceOption);
    for (const QString& name : parser.optionNames()) {  // in the order given: the last level counts, as in zip
        for (const Level& level : Levels) {
            if (name == QLatin1String(level.name))
                options.level = level.level;
        }
    }
    if (!parser.isSet(userOption))
        return program.Usage(QStringLiteral("--user is missing"));
    if (options.archive.isEmpty())
        return program.Usage(QStringLiteral("-o ARCHIVE is missing"));
    if (options.files.isEmpty())
        return program.Usage(QStringLiteral("no workbook given"));

    // The password: never from the command line, where others can see it.
    QString why;
    const std::optional<QString> password =
        cli::Password(parser.isSet(passwordFileOption) ? parser.value(passwordFileOption) : QString(), true, why);
    if (!password)
        return program.Usage(why);
    options.password = *password;

    // Buffers come and go by the thousand.
    platform::KeepFreedMemory();

    // Interrupts from here on: everything made so far is removed.
    ending::EndOnSignals();
    options.progressBar = platform::ErrorIsTerminal();
    int code = 0;
    try {
        code = packcli::Run(options, program.out, program.err);
    } catch (const ending::ProgramEnding&) {
        program.err << Qt::endl << "quillfold-pack: interrupted; nothing was changed" << Qt::endl;
        code = ending::ExitCode();
    }
    platform::Ended();
    return code;
}
