#pragma once

#include <QString>

// Asking for a password on the terminal, for the command-line programs.
namespace prompt {

// True if standard input is a terminal.
bool InputIsTerminal();

// Shows `question` on stderr and reads one line from the terminal without
// showing it. Echo is off only while the line is typed, and comes back even
// if the program is interrupted there (SIGINT, SIGTERM, SIGHUP, SIGQUIT
// restore it, then end the program as they would have).
QString AskHidden(const char* question);

}  // namespace prompt
