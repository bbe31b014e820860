#pragma once
// The clock the window and the command line pace their progress displays by.

#include <chrono>
#include <cstdint>
#include <functional>

namespace tovaly {

/// Milliseconds on a monotonic clock, counted from any fixed moment. The
/// programs use SteadyMilliseconds; tests pass a clock they move by hand.
using ProgressClock = std::function<std::int64_t()>;

/// Milliseconds on std::chrono::steady_clock.
inline std::int64_t SteadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace tovaly
