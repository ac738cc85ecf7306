// SPDX-License-Identifier: GPL-3.0-or-later
// The flag a signal handler or the window raises to end every update under way. Update threads
// read it while the handler or the main thread writes it, so it is a lock-free atomic: safe in a
// signal handler and free of data races between threads.
#pragma once

#include <atomic>

using StopFlag = std::atomic<int>;
// The value of a stop flag that the operator raised (a Stop button), not a signal. An update
// stopped so ends as one stopped by SIGTERM would, and says who stopped it.
constexpr int kStopByOperator = 1000;
static_assert(StopFlag::is_always_lock_free, "a signal handler may only touch lock-free atomics");
