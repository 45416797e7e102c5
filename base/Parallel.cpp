#include "Parallel.h"

#include "platform/platform.h"

#include <algorithm>
#include <memory>
#include <system_error>

Parallel::~Parallel()
{
    for (const std::unique_ptr<Thread>& thread : m_threads)
        thread->thread.join();
}

bool Parallel::Start(std::function<void()> work)
{
    if (platform::Probed(platform::Call::StartThread, QString()) != 0)
        return false;
    auto thread = std::make_unique<Thread>();
    Thread* own = thread.get();
    try {
        thread->thread = std::thread([own, work = std::move(work)] {
            try {
                work();
            } catch (...) {
                own->failure = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        return false;  // EAGAIN: this account may start no more threads
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_threads.push_back(std::move(thread));
    return true;
}

int Parallel::Start(int count, const std::function<void()>& work)
{
    int started = 0;
    while (started < count && Start(work))
        ++started;
    return started;
}

void Parallel::Join()
{
    std::exception_ptr first;
    for (const std::unique_ptr<Thread>& thread : m_threads) {
        thread->thread.join();
        if (!first)
            first = thread->failure;
    }
    m_threads.clear();
    if (first)
        std::rethrow_exception(first);
}

int Parallel::Threads(qsizetype items, qsizetype perThread)
{
    const qsizetype cores = std::max(1u, std::thread::hardware_concurrency());
    return int(std::clamp<qsizetype>(items / std::max<qsizetype>(perThread, 1), 1, cores));
}

void OnEveryCore(int threads, const std::function<void()>& work)
{
    Parallel helpers;
    helpers.Start(threads - 1, work);
    std::exception_ptr own;
    try {
        work();
    } catch (...) {
        own = std::current_exception();
    }
    try {
        helpers.Join();
    } catch (...) {
        if (!own)
            own = std::current_exception();
    }
    if (own)
        std::rethrow_exception(own);
}
