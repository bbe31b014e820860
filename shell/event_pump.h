#pragma once
// The window's event pump as the long commands see it. A command calls
// Yield() at every point where the window may handle its events; the pump
// lets the window handle them only when it was last served a while ago, so
// a conversion or a folder scan that yields millions of times serves the
// window about sixty times a second and spends its time on its own work.
//
// Before the window is served, every display registered with the pump puts
// its latest state on the controls: what the window paints is always the
// state of the work at that moment, however seldom it paints.

#include "progress_clock.h"

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace tovaly {

/// The window is served at most once in this many milliseconds while a
/// command yields.
inline constexpr std::int64_t kServeIntervalMs = 15;

class EventPump {
public:
    /// `processEvents` lets the window handle its pending events once;
    /// `clock` is SteadyMilliseconds when empty.
    explicit EventPump(std::function<void()> processEvents, ProgressClock clock = {},
                       std::int64_t intervalMs = kServeIntervalMs);
    EventPump(const EventPump &) = delete;
    EventPump &operator=(const EventPump &) = delete;

    /// A yield point: serves the window when ServeDue() says so.
    void Yield();

    /// True when the window has not been served for the interval (or never).
    /// The clock is not read at every call: while calls come far faster than
    /// a millisecond apart it is read at every second, fourth, ... up to
    /// every kMaxStride-th call, and at every call again as soon as two
    /// readings lie more than kSlowCheckMs apart.
    [[nodiscard]] bool ServeDue();

    /// Serves the window now: the displays show their state, then the
    /// window handles its pending events.
    void Serve();

    /// Registers `show`, called before every serve; returns its id.
    int AddDisplay(std::function<void()> show);
    /// Removes the display `id` (no effect for an unknown id).
    void RemoveDisplay(int id);

    /// Number of serves so far.
    [[nodiscard]] std::uint64_t Serves() const { return m_serves; }

    /// A display registered for the life of this object.
    class ScopedDisplay {
    public:
        ScopedDisplay(EventPump &pump, std::function<void()> show)
            : m_pump(&pump), m_id(pump.AddDisplay(std::move(show)))
        {
        }
        ~ScopedDisplay() { m_pump->RemoveDisplay(m_id); }
        ScopedDisplay(const ScopedDisplay &) = delete;
        ScopedDisplay &operator=(const ScopedDisplay &) = delete;

    private:
        EventPump *m_pump;
        int m_id;
    };

    static constexpr int kMaxStride = 64;
    static constexpr std::int64_t kSlowCheckMs = 2;

private:
    std::function<void()> m_processEvents;
    ProgressClock m_clock;
    std::int64_t m_interval;
    bool m_served = false;
    std::int64_t m_lastServed = 0;
    std::int64_t m_lastCheck = 0;
    int m_stride = 1;
    int m_countdown = 0;
    std::uint64_t m_serves = 0;
    int m_nextId = 1;
    std::vector<std::pair<int, std::function<void()>>> m_displays;
};

} // namespace tovaly
