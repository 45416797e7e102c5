#pragma once

#include "file.h"
#include "base/RuntimeError.h"

#include <QString>

// What the operator reads when a pack run fails: one plain Thai sentence that
// says what went wrong and what to do, then the technical lines.
namespace packing {

// The step of a pack run that failed.
enum class Step {
    WorkArea,  // making the private work folder
    Package,   // writing one workbook's package
    Archive,   // adding a package to the new archive (zip)
    Check,     // reading the new archive back
    Swap,      // flushing the new archive and putting it in place of the destination
    Flush,     // flushing the rename: the new archive is in place already
};

// The failure, as the run saw it.
struct Failure {
    RuntimeError error;
    Step step;
    QString entry;        // the workbook being handled, if any
    QString destination;  // the destination archive (Text2)
};

// The window's words for a reason, in Thai: what is wrong and what to do,
// with the particulars the reason names (the link and its owner, the
// workbook, the groups of clashing names).
QString Refusal(err::Reason reason, const QStringList& particulars = {});
// The heading of the box that lists the names refused, each with its reason.
QString NamesRefused();
// Why the temporary folder cannot hold the work area, in Thai, with what to
// do (which variable to set or fix); empty when it can.
QString TemporaryProblem(const file::TemporaryCheck& check);

// One Thai sentence: what happened, and what to do about it.
QString ThaiExplanation(const Failure& failure);

// The failure box's text: the Thai sentence, a line saying the old archive is
// untouched (or, once it is replaced, that the new one is in place), then the
// run-time error report (number, description, path; for zip, its own last
// words).
QString FailureReport(const Failure& failure);

// The status line after a failure: which file failed, in Thai.
QString FailureStatus(const Failure& failure);

}  // namespace packing
