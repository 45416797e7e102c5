#pragma once

#include <exception>
#include <functional>

// Ending the program, and the waits during which it can be ended.
//
// Exit, File > Exit, the close box and the signals SIGINT, SIGTERM and SIGHUP
// end the program at once. When that happens during a wait, the wait does not
// simply return: it stops what it waited for (the archiver is terminated, work
// on a worker thread is told to stop and joined) and throws ProgramEnding, so
// that the command unwinds, removes what it had made so far, and shows nothing.
namespace ending {

// Thrown out of a wait when the program is being ended. Not an error: callers
// clean up and return without a message.
class ProgramEnding : public std::exception {
public:
    const char* what() const noexcept override { return "the program is ending"; }
};

// True once the program is being ended. Safe to read from any thread.
bool Requested();
// Throws ProgramEnding once the program is being ended.
void ThrowIfRequested();

// Runs `work` on a worker thread and handles window events here until it is
// done; rethrows what it threw. Long work should call ThrowIfRequested() now
// and then (each block, say) so that ending the program stops it at once.
void WaitFor(const std::function<void()>& work);

// True while a wait (WaitFor or the archiver's) is in progress.
bool IsWaiting();

// For the archiver runner: marks a wait of its own.
class WaitScope {
public:
    WaitScope();
    ~WaitScope();
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;
};

// SIGINT, SIGTERM and SIGHUP end the program as Exit does. Call once, from the
// main thread, with the application object made.
void EndOnSignals();

// The exit code of a program that was ended: 128 and the number of the signal
// that ended it (130 for Ctrl+C, 143 for SIGTERM, 129 for SIGHUP).
int ExitCode();

}  // namespace ending

// Ends the program at once, as Exit does: nothing is asked and nothing is
// saved; a run in progress is stopped and leaves nothing half-done behind.
void EndProgram();
