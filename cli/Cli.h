#pragma once

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QString>
#include <QTextStream>

#include <optional>

// What the command-line programs share: their start, their output, and where
// a password comes from.
namespace cli {

// A command-line program's start: its name and version for the application
// object (made before), its two streams, and a parser that knows --help and
// --version; the program adds its own options.
class Program {
public:
    // `badUsage` is the exit code for a command line that is wrong.
    Program(int argc, char** argv, const char* name, const char* version, const char* description, int badUsage);

    // Parses the command line. Returns the exit code when the program ends
    // here: 0 once help or the version is shown, the bad-usage code once a bad
    // command line has been told (an argument whose bytes the system would
    // change, such as a name that is not UTF-8, is one: it is never used).
    std::optional<int> ParseOrEnd();
    // Says what is wrong with how the program was called, and returns the
    // bad-usage code.
    int Usage(const QString& problem);

    QTextStream out{stdout};
    QTextStream err{stderr};
    QCommandLineParser parser;

private:
    int m_argc;
    char** m_argv;
    const char* m_name;
    const char* m_version;
    int m_badUsage;
};

// Lines of a report on a stream, each whole, each reaching a log or a pipe
// within a twentieth of a second or with the next line (many lines a second
// go out together). A stream that takes no more (a full disk, a reader that is
// gone) is a failure: run-time error 57, "cannot write to standard output".
class Lines {
public:
    explicit Lines(QTextStream& stream);
    // Adds a line (without its line end).
    void Line(const QString& line);
    // Sends what waits if it has waited long enough; for work that goes on between lines.
    void Tick();
    // Sends everything now.
    void Flush();

private:
    QTextStream& m_stream;
    QElapsedTimer m_sinceFlush;
    bool m_pending = false;
};

// "1 workbook", "2 workbooks": a count and its noun, made plural with an s.
inline QString Count(qint64 n, const QString& noun)
{
    return QStringLiteral("%1 %2%3").arg(n).arg(noun, n == 1 ? QString() : QStringLiteral("s"));
}

// The longest first line read: far more than the 12 characters of a password
// (in UTF-8, with blanks around it), so that a file that is no password file
// is refused without being read through.
constexpr qsizetype LongestLine = 4096;
// The first line of a file (or of standard input, for "-"), without its line
// end; nothing, with `why` set, when it cannot be read or is longer than
// LongestLine.
std::optional<QString> FirstLine(const QString& path, QString& why);

// A password from the first line of `file` if one is named, else from
// standard input when that is not a terminal, else asked for on the terminal
// without echo (`twice`: and again, the two must match). Nothing, with `why`
// set, when it cannot be had.
std::optional<QString> Password(const QString& file, bool twice, QString& why);

}  // namespace cli
