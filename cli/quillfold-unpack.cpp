// quillfold-unpack: the recipient's side of Quillfold.
#include "Cli.h"
#include "Unpack.h"
#include "version.h"
#include "base/Ending.h"
#include "base/text.h"
#include "platform/platform.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

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
    "is too small. A workbook is reported as restored only once it is on disk for\n"
    "good (flushed, named, its name flushed).\n"
    "\n"
    "The password comes from --password-file, or from standard input when that is\n"
    "not a terminal, or is asked for once without echo (Enter alone, or an empty\n"
    "first line, skips the check). --password also works, but other users can see\n"
    "the command line of a running program: prefer the others.\n"
    "\n"
    "Exit codes: 0 all good, 1 a check failed or data is damaged, 2 bad usage or\n"
    "input that cannot be read; the worst that happened decides. 128 + the\n"
    "signal's number when interrupted.";
}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    cli::Program program(argc, argv, "quillfold-unpack", QUILLFOLD_VERSION, Description, unpack::BadInput);
    QCommandLineParser& parser = program.parser;
    const QCommandLineOption passwordFileOption(QStringLiteral("password-file"),
                                                QStringLiteral("Read the password from the first line of F."),
                                                QStringLiteral("F"));
    const QCommandLineOption passwordOption(
        QStringLiteral("password"),
        QStringLiteral("The password to check. Other users can see it while the program runs: prefer "
                       "--password-file or standard input."),
        QStringLiteral("P"));
    const QCommandLineOption outOption(QStringLiteral("out"), QStringLiteral("Restore the workbooks into DIR."),
                                       QStringLiteral("DIR"));
    parser.addOption(passwordFileOption);
    parser.addOption(passwordOption);
    parser.addOption(outOption);
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("Archives and package files."),
                                 QStringLiteral("ARCHIVE.zip|PACKAGE.enc ..."));
    if (const auto code = program.ParseOrEnd())
        return *code;

    unpack::Options options;
    options.inputs = parser.positionalArguments();
    options.outDir = parser.value(outOption);
    if (options.inputs.isEmpty())
        return program.Usage(QStringLiteral("no archive or package file given"));
    QString why;
    std::optional<QString> password;
    if (parser.isSet(passwordOption))
        password = parser.value(passwordOption);
    else
        password = cli::Password(parser.isSet(passwordFileOption) ? parser.value(passwordFileOption) : QString(), false, why);
    if (!password)
        return program.Usage(why);
    if (password && !password->isEmpty())
        options.password = password;
    if (options.password && !text::IsAnsi(*options.password))
        return program.Usage(QStringLiteral("the password has characters that Quillfold cannot store"));
    if (!options.outDir.isEmpty() && !options.password)
        return program.Usage(QStringLiteral("--out needs the password: from --password-file, standard input or the terminal"));
    // Interrupts from here on: what is not yet restored for good is removed.
    ending::EndOnSignals();
    int code = 0;
    try {
        code = unpack::Run(options, program.out, program.err);
    } catch (const ending::ProgramEnding&) {
        program.err << "quillfold-unpack: interrupted" << Qt::endl;
        code = ending::ExitCode();
    }
    platform::Ended();
    return code;
}
