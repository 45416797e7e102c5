#pragma once

#include <QString>
#include <QStringList>

class QTextStream;

// quillfold-pack: a hand-over from the command line. The same rules as the
// window (credentials, clashing names, the destination, the package bytes,
// the archive built aside, read back and swapped in), with the archive
// written in this process by the engine.
namespace packcli {

struct Options {
    QString userID;    // as given
    QString password;  // as given
    QString archive;   // the destination
    QStringList files;
    bool progressBar = false;  // draw a progress bar on `err` (a terminal)
    bool replace = false;      // replace an existing destination even if it is not a ZIP archive
    int level = 6;             // how hard to deflate, as zip's -0 (store) to -9
};

// Exit codes.
constexpr int AllGood = 0;
constexpr int Failed = 1;    // a check or a file failed; nothing was changed
constexpr int BadUsage = 2;  // bad usage: credentials, clashing names, the destination

// Runs the command: one line per workbook on `out`, problems (and the bar) on
// `err`. Throws ending::ProgramEnding when the program is ended meanwhile,
// after removing everything it made. Output that cannot be written, and
// memory that runs out, are failures like any other: nothing is changed.
int Run(const Options& options, QTextStream& out, QTextStream& err);

}  // namespace packcli
