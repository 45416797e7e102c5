#pragma once

#include <QString>

#include <optional>

class QCommandLineParser;
class QTextStream;

// What the command-line programs share: their start, and asking for a
// password on the terminal.
namespace cli {

// Parses the command line (the parser has --help and --version among its
// options). Returns the exit code when the program ends here: 0 once help or
// the version is shown, `badUsage` once a bad command line has been told.
std::optional<int> ParseOrEnd(QCommandLineParser& parser, const char* program, const char* version,
                              QTextStream& out, QTextStream& err, int badUsage);

// Says what is wrong with how the program was called, and returns `code`.
int Usage(QTextStream& err, const char* program, const QString& problem, int code);

// True if standard input is a terminal.
bool InputIsTerminal();

// Shows `question` on stderr and reads one line from the terminal without
// showing it. Echo is off only while the line is typed, and comes back even
// if the program is interrupted there (SIGINT, SIGTERM, SIGHUP, SIGQUIT
// restore it, then end the program as they would have).
QString AskHidden(const char* question);

}  // namespace cli
