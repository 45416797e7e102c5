#include "Ending.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace ending {
namespace {
std::atomic<bool> requested{false};
std::atomic<int> endingSignal{0};
int waitDepth = 0;
int signalPipe[2] = {-1, -1};

void OnSignal(int signal)
{
    const int saved = errno;
    int none = 0;
    endingSignal.compare_exchange_strong(none, signal);  // the first one decides
    requested.store(true);  // for work that polls and has no event loop
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}
}  // namespace

bool Requested()
{
    return requested.load();
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
    if (signalPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char bytes[16];
        [[maybe_unused]] const ssize_t ignored = ::read(signalPipe[0], bytes, sizeof bytes);
        EndProgram();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
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
