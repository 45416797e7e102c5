#pragma once

#include <QString>

namespace gui {

// What a window's program (the packer's, the recipient's) does before its
// window is made: its name and
// version; SIGINT, SIGTERM and SIGHUP end it as Exit does; and a file past
// this account's file-size limit (or a pipe whose reader is gone) is a
// failure that the run reports and cleans up after, not a signal that kills
// the program half-way. Call once, with the application made.
void PrepareProgram(const QString& name, const QString& version);

}  // namespace gui
