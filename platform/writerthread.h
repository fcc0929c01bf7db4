#pragma once

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

// Tells the operator, once and straight on standard error, that no thread can be had for the writers
// below (a limit on processes), as the console's own writer is among them.
void tellNoThread();

// Hands items to write(), in order, on a thread of its own, so that the caller never waits for a
// writer that blocks: a console that does not read, a system log that has stopped taking entries.
// What waits is bounded by the items' total size(); items beyond it are dropped, and so is an item that
// one already waiting covers (covers(waiting, item), where given). The object and its thread live as
// long as the process: a thread blocked in write() for good must not hold up the end.
template <typename Item, void (*write)(const Item &), qint64 backlogLimit,
          bool (*covers)(const Item &, const Item &) = nullptr>
class WriterThread
{
public:
    static WriterThread &instance()
    {
        // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks): lives until the process ends
        static auto *writer = new WriterThread;
        return *writer;
    }

    void add(Item item)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        // A writer that keeps up takes everything, however much comes at once.
        if (queued > 0 && queued + item.size() > backlogLimit)
            return;
        if constexpr (covers != nullptr) {
            if (std::any_of(items.cbegin(), items.cend(),
                            [&](const Item &waiting) { return covers(waiting, item); }))
                return;
        }
        queued += item.size();
        owed += item.size();
        items.push_back(std::move(item));
        // Where no thread can be had, the items wait in the backlog, or are dropped beyond it, and the
        // next item tries again: a writer never ends the watchdog.
        if (startThread())
            wake.notify_one();
    }

    // Whether the thread runs, started now where it was not yet; false where none can be had.
    bool running()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return startThread();
    }

    // Gives the writer up to waitMs to take what is still waiting; false when it has not.
    bool flush(int waitMs)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return started
               && drained.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return owed == 0; });
    }

private:
    bool startThread()
    {
        if (started)
            return true;
        try {
            std::thread([this] { run(); }).detach();
            started = true;
        } catch (const std::system_error &) {
            tellNoThread();
        }
        return started;
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return !items.empty(); });
            const Item item = std::move(items.front());
            items.pop_front();
            queued -= item.size();
            lock.unlock();
            write(item);
            lock.lock();
            owed -= item.size();
            if (owed == 0)
                drained.notify_all();
        }
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    std::deque<Item> items;
    qint64 queued = 0; // the size of what waits behind the item being written
    qint64 owed = 0;   // the size of what waits or is being written
    bool started = false;
};
