#pragma once

#include "restore/Restore.h"

class QTextStream;

// quillfold-unpack: the restore (restore::Run) with its report as lines, one
// per package on `out` once its workbook is on disk, problems and progress on
// `err`.
namespace unpack {

using restore::Options;
using restore::RestoredName;

// Exit codes: the worst that happened.
constexpr int AllGood = restore::AllGood;
constexpr int CheckFailed = restore::CheckFailed;  // a length or password check failed, damaged data, or a restore failed
constexpr int BadInput = restore::BadInput;        // bad usage, or input (a file, an entry) that cannot be read

// Runs the command; output that cannot be written stops it (the workbooks
// reported so far stay restored). Throws ending::ProgramEnding when the
// program is ended meanwhile.
int Run(const Options& options, QTextStream& out, QTextStream& err);

// A package's line, as the report prints it.
QString Line(const restore::Package& package);

}  // namespace unpack
