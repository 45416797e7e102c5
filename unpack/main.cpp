// quillfold-unpack: the recipient's side of Quillfold.
#include "packing/Ending.h"
#include "packing/Cli.h"
#include "packing/Unpack.h"
#include "packing/text.h"
#include "version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <csignal>

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
}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    cli::Program program("quillfold-unpack", QUILLFOLD_VERSION, Description, unpack::BadInput);
    QCommandLineParser& parser = program.parser;
    const QCommandLineOption passwordOption(QStringLiteral("password"), QStringLiteral("The password to check."),
                                            QStringLiteral("P"));
    const QCommandLineOption outOption(QStringLiteral("out"), QStringLiteral("Restore the workbooks into DIR."),
                                       QStringLiteral("DIR"));
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
    if (parser.isSet(passwordOption)) {
        options.password = parser.value(passwordOption);
    } else if (cli::InputIsTerminal()) {
        const QString typed = cli::AskHidden("Password: ");
        if (!typed.isEmpty())
            options.password = typed;
    }
    if (options.password && !text::IsAnsi(*options.password))
        return program.Usage(QStringLiteral("the password has characters that Quillfold cannot store"));
    if (!options.outDir.isEmpty() && !options.password)
        return program.Usage(QStringLiteral("--out needs the password: give --password, or run it in a terminal"));
    // Ctrl+C from here on: what is being restored is removed, nothing half-written stays.
    ending::EndOnSignals();
    try {
        return unpack::Run(options, program.out, program.err);
    } catch (const ending::ProgramEnding&) {
        program.err << "quillfold-unpack: interrupted" << Qt::endl;
        return 128 + SIGINT;
    }
}
