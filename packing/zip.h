#pragma once

#include <QString>

#include <optional>

// Runs the external archiver (bin/zip) or extractor (bin/unzip) that lie beside
// the program, and waits until it has ended.
//
//   mode "zip":    "<folder>/bin/zip" -q -j "<archive>" "<file>"
//   mode "unzip":  "<folder>/bin/unzip" -j "<archive>" -d "<target folder>"
//
// zip runs in grow mode (ZIPOPT=-g), so each added file is appended instead of
// the whole archive being rewritten, and without extra fields (-X: no owner
// IDs or extended times), so that entries carry what quillfold-pack's do: the
// file's date and mode, nothing more; unzip never overwrites a file that
// already exists in the target folder (UNZIP=-n), so no extraction can destroy
// anything. Neither can ever wait on a question: both run with no input and no
// terminal.
namespace zip {

// How a started program ended.
struct ArchiverResult {
    bool started = false;  // false for an unknown mode: nothing was run
    bool crashed = false;
    int exitCode = 0;
    QString program;  // the program's path
    QString output;   // the end of what it wrote to stdout and stderr

    bool ok() const { return !started || (!crashed && exitCode == 0); }
};

// The command line for a mode, or nothing for any mode but "zip" and "unzip"
// (exact, lower case). Each path is enclosed in double quotes; a double quote
// inside a path is written as three, and wildcard characters in the name of the
// archive that unzip reads are bracketed ([*], [?], [[]) so that unzip takes
// the name literally.
std::optional<QString> CommandLine(const QString& programFolder, const QString& inputPath,
                                   const QString& outputPath, const QString& mode);

// The folder that holds bin/zip and bin/unzip: the running program's own
// folder, unless another was set (tests use this to run stand-ins).
QString ProgramFolder();
void SetProgramFolder(const QString& folder);

// Runs the program for the mode from ProgramFolder() and returns once it has
// ended; window events are handled all the while. An unknown mode starts
// nothing and returns at once. A missing program is run-time error 53 and
// nothing is waited for. When the program is ended during the wait, the
// archiver is stopped and seen gone, and ending::ProgramEnding is thrown.
ArchiverResult RunArchiver(const QString& inputPath, const QString& outputPath, const QString& mode);

// Turns a failed run into run-time error 1001 naming the program, its exit
// code (or the crash), its last three lines of output, and the paths.
void RequireSuccess(const ArchiverResult& result, const QString& inputPath, const QString& outputPath);

}  // namespace zip
