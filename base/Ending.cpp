#include "Ending.h"

#include "Parallel.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QScopeGuard>

#include <atomic>
#include <csignal>

namespace ending {
namespace {
std::atomic<bool> requested{false};
std::atomic<int> endingSignal{0};  // the signal that ends the program, if one does
int waitDepth = 0;
}  // namespace

bool Requested()
{
    // A signal counts at once, also for work that polls and has no event loop.
    return requested.load() || endingSignal.load() != 0;
}

void ThrowIfRequested()
{
    if (Requested())
        throw ProgramEnding();
}

WaitScope::WaitScope()
{
    ++waitDepth;
}

WaitScope::~WaitScope()
{
    --waitDepth;
}

bool IsWaiting()
{
    return waitDepth > 0;
}

void WaitFor(const std::function<void()>& work)
{
    ThrowIfRequested();
    QEventLoop loop;
    Parallel worker;
    const bool started = worker.Start([&] {
        const auto quit = qScopeGuard([&] { QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection); });
        work();
    });
    if (!started) {
        work();  // no thread to be had: here, the window still while it lasts
        return;
    }
    {
        const WaitScope waiting;
        loop.exec();  // also ends when the program is being ended
    }
    std::exception_ptr failure;
    try {
        worker.Join();  // the work sees Requested() and stops within a block
    } catch (...) {
        failure = std::current_exception();
    }
    ThrowIfRequested();
    if (failure)
        std::rethrow_exception(failure);
}

void EndOnSignals()
{
    platform::CatchInterrupts(endingSignal, [] { EndProgram(); });
}

int ExitCode()
{
    return 128 + (endingSignal.load() ? endingSignal.load() : SIGINT);
}

}  // namespace ending

void EndProgram()
{
    ending::requested = true;
    // Leaves every event loop: the main one, and any wait's, which then stops
    // what it waited for and unwinds its command.
    QCoreApplication::exit(0);
}
