#pragma once

// The one way from a worker thread to the GUI thread, apart from the window messages: a function queued to the
// receiver's thread, waited for (InvokeBlocking) or not (InvokeLater).

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "StopSignal.h"

namespace invoke_detail {

struct Call {
    enum class State { Queued, Running, Done, Dropped };
    std::mutex mutex;
    std::condition_variable changed;
    State state = State::Queued;

    // The receiver's thread: whether the call may still run (it then counts as running).
    bool Start() {
        std::lock_guard lock(mutex);
        if (state != State::Queued) {
            return false;
        }
        state = State::Running;
        return true;
    }
    void Finish(State end) {
        {
            std::lock_guard lock(mutex);
            if (state == State::Done || state == State::Dropped) {
                return;
            }
            state = end;
        }
        changed.notify_all();
    }
};

// Held only by the queued function: when Qt destroys it unrun (its receiver went away), the caller is released.
struct DropOnDestruction {
    explicit DropOnDestruction(std::shared_ptr<Call> c) : call(std::move(c)) {}
    ~DropOnDestruction() { call->Finish(Call::State::Dropped); }
    DropOnDestruction(const DropOnDestruction&) = delete;
    DropOnDestruction& operator=(const DropOnDestruction&) = delete;
    std::shared_ptr<Call> call;
};

}  // namespace invoke_detail

// Queues `function` to `receiver`'s thread and returns at once. It does not run if the receiver goes away first.
template <typename Function>
void InvokeLater(QObject* receiver, Function&& function) {
    QMetaObject::invokeMethod(receiver, std::forward<Function>(function), Qt::QueuedConnection);
}

// Runs `function` on `receiver`'s thread and waits for its result. Called from that thread itself it runs
// the function directly: a queued call there would never return. The receiver's thread must be running an event
// loop. A call that has not started when the receiver goes away, or when `stop` is requested, never runs and
// yields a default Result, so a thread that the GUI thread is joining is never left waiting for it.
template <typename Function>
auto InvokeBlocking(QObject* receiver, Function&& function, const StopSignal* stop = nullptr)
    -> std::invoke_result_t<Function> {
    using Result = std::invoke_result_t<Function>;
    using invoke_detail::Call;
    if (QThread::currentThread() == receiver->thread()) {
        return std::forward<Function>(function)();
    }
    auto call = std::make_shared<Call>();
    using Stored = std::conditional_t<std::is_void_v<Result>, bool, Result>;
    std::optional<Stored> result;
    auto guard = std::make_shared<invoke_detail::DropOnDestruction>(call);
    QMetaObject::invokeMethod(
        receiver,
        [guard, &result, &function] {
            if (!guard->call->Start()) {
                return;
            }
            if constexpr (std::is_void_v<Result>) {
                function();
                result.emplace(true);
            } else {
                result.emplace(function());
            }
            guard->call->Finish(Call::State::Done);
        },
        Qt::QueuedConnection);
    guard.reset();

    std::unique_lock lock(call->mutex);
    while (call->state != Call::State::Done && call->state != Call::State::Dropped) {
        if (stop != nullptr && call->state == Call::State::Queued && stop->Requested()) {
            call->state = Call::State::Dropped;
            break;
        }
        call->changed.wait_for(lock, std::chrono::milliseconds(20));
    }
    const bool done = call->state == Call::State::Done;
    lock.unlock();
    if constexpr (!std::is_void_v<Result>) {
        return done ? std::move(*result) : Result{};
    }
}
