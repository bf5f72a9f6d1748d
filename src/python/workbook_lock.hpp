#pragma once
// The shared workbook behind every Python object that stands for part of it, and its lock.
//
// The mutex is plain and non-recursive. A C++ exception that unwinds out of a locked section poisons the
// lock for good, because the model may have been left half changed; every later locked call is refused.
// Memory exhaustion is the one exception that does not poison: the model's containers keep their basic
// guarantee, and refusing the workbook for ever over a transient failure would lose the user's data.
// This header knows nothing of Python so that the rules can be tested on their own.

#include <expected>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "model/workbook.hpp"

namespace velmo::python {

// A locked call refused because an earlier internal failure poisoned the lock.
struct LockPoisoned {};

class SharedWorkbook {
public:
    explicit SharedWorkbook(Workbook wb) : wb_(std::move(wb)) {}
    SharedWorkbook(const SharedWorkbook&) = delete;
    SharedWorkbook& operator=(const SharedWorkbook&) = delete;

    // Runs fn(Workbook&) with the mutex held and returns its result, or LockPoisoned without running it.
    // Exceptions from fn propagate after the mutex is released (and, except bad_alloc, poison it).
    template <class F>
    auto with(F&& fn) -> std::expected<std::invoke_result_t<F, Workbook&>, LockPoisoned> {
        using R = std::invoke_result_t<F, Workbook&>;
        std::lock_guard lock(mutex_);
        if (poisoned_) return std::unexpected(LockPoisoned{});
        try {
            if constexpr (std::is_void_v<R>) {
                std::forward<F>(fn)(wb_);
                return {};
            } else {
                return std::forward<F>(fn)(wb_);
            }
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    bool poisoned() {
        std::lock_guard lock(mutex_);
        return poisoned_;
    }

private:
    std::mutex mutex_;
    bool poisoned_ = false;
    Workbook wb_;
};

// One handle per Python object; the model is freed with the last one.
using WorkbookHandle = std::shared_ptr<SharedWorkbook>;

inline WorkbookHandle make_handle(Workbook wb) { return std::make_shared<SharedWorkbook>(std::move(wb)); }

}  // namespace velmo::python
