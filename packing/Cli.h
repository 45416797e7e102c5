#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QTextStream>

#include <optional>

// What the command-line programs share: their start, and asking for a
// password on the terminal.
namespace cli {

// A command-line program's start: its name and version for the application
// object (made before), its two streams, and a parser that knows --help and
// --version; the program adds its own options.
class Program {
public:
    // `badUsage` is the exit code for a command line that is wrong.
    Program(const char* name, const char* version, const char* description, int badUsage);

    // Parses the command line. Returns the exit code when the program ends
    // here: 0 once help or the version is shown, the bad-usage code once a bad
    // command line has been told.
    std::optional<int> ParseOrEnd();
    // Says what is wrong with how the program was called, and returns the
    // bad-usage code.
    int Usage(const QString& problem);

    QTextStream out{stdout};
    QTextStream err{stderr};
    QCommandLineParser parser;

private:
    const char* m_name;
    const char* m_version;
    int m_badUsage;
};

// True if standard input is a terminal.
bool InputIsTerminal();

// Shows `question` on stderr and reads one line from the terminal without
// showing it. Echo is off only while the line is typed, and comes back even
// if the program is interrupted there (SIGINT, SIGTERM, SIGHUP, SIGQUIT
// restore it, then end the program as they would have).
QString AskHidden(const char* question);

}  // namespace cli
