#include "Ending.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <atomic>
#include <csignal>
#include <thread>

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
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    {
        const WaitScope waiting;
        loop.exec();  // also ends when the program is being ended
    }
    worker.join();  // the work sees Requested() and stops within a block
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
