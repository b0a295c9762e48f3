// Runs `body(i)` on `threads` threads that are all released at once, so that
// their first calls meet, and waits for every one of them.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace qc::test {

template <class Body>
void RunTogether(int threads, Body body) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> running;
    for (int i = 0; i < threads; ++i)
        running.emplace_back([&, i] {
            ++ready;
            while (!go.load()) std::this_thread::yield();
            body(i);
        });
    while (ready.load() < threads) std::this_thread::yield();
    go = true;
    for (std::thread& thread : running) thread.join();
}

}  // namespace qc::test
