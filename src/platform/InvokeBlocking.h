#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <optional>
#include <type_traits>
#include <utility>

// Runs `function` on `receiver`'s thread and waits for its result. Called from that thread itself it runs
// the function directly: a blocking queued call there would never return (Qt reports "Dead lock detected").
// The receiver's thread must be running an event loop, and the receiver must outlive the call.
template <typename Function>
auto InvokeBlocking(QObject* receiver, Function&& function) -> std::invoke_result_t<Function> {
    using Result = std::invoke_result_t<Function>;
    if (QThread::currentThread() == receiver->thread()) {
        return std::forward<Function>(function)();
    }
    if constexpr (std::is_void_v<Result>) {
        QMetaObject::invokeMethod(receiver, std::forward<Function>(function), Qt::BlockingQueuedConnection);
    } else {
        std::optional<Result> result;
        QMetaObject::invokeMethod(
            receiver, [&result, &function] { result.emplace(function()); }, Qt::BlockingQueuedConnection);
        return std::move(*result);
    }
}
