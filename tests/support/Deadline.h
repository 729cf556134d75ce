#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

// Runs `work` on a thread of its own and waits at most `limit`. False when it has not
// returned by then: the thread is left behind (it may hang on a FIFO for good), so that the
// test fails instead of hanging with it.
inline bool finishesWithin(std::chrono::milliseconds limit, std::function<void()> work)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([work = std::move(work), done] {
        work();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}
