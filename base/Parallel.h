#pragma once

#include <QtGlobal>

#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

// Threads beside the calling one. Every thread of the program is started
// here: each is joined whatever way its owner goes, and what one throws is
// passed on to whoever waits for it. A thread the system will not start (too
// many threads for this account, little memory) is no failure: the owner goes
// on with those that did start, down to none, doing the work on its own
// thread then.
class Parallel {
public:
    Parallel() = default;
    // Join(), dropping what was thrown: the owner is going anyway.
    ~Parallel();
    Parallel(const Parallel&) = delete;
    Parallel& operator=(const Parallel&) = delete;

    // Starts a thread that runs `work`; false when the system starts none
    // (then nothing of `work` runs).
    bool Start(std::function<void()> work);
    // Starts up to `count` threads that each run `work`; how many started.
    int Start(int count, const std::function<void()>& work);
    // How many were started and are not yet joined.
    int Started() const { return int(m_threads.size()); }
    // Waits until every thread has ended, then throws the first exception
    // that one of them threw, if any did.
    void Join();

    // How many threads make sense for `items` items of work, at least
    // `perThread` each: one per core at most, one at least (the caller).
    static int Threads(qsizetype items, qsizetype perThread);

private:
    struct Thread {
        std::thread thread;
        std::exception_ptr failure;
    };
    std::vector<std::unique_ptr<Thread>> m_threads;
};

// Runs `work` on every core: on up to `threads` - 1 threads started for it
// and on the calling thread, which then waits for the others. What one throws
// is thrown here, once all have ended.
void OnEveryCore(int threads, const std::function<void()>& work);
