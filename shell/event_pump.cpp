#include "event_pump.h"

#include <algorithm>

namespace tovaly {

EventPump::EventPump(std::function<void()> processEvents, ProgressClock clock, std::int64_t intervalMs)
    : m_processEvents(std::move(processEvents)), m_clock(clock ? std::move(clock) : ProgressClock(SteadyMilliseconds)),
      m_interval(intervalMs)
{
}

void EventPump::Yield()
{
    if (ServeDue())
        Serve();
}

bool EventPump::ServeDue()
{
    if (!m_served)
        return true;
    if (--m_countdown > 0)
        return false;
    const std::int64_t now = m_clock();
    // Read the clock about once a millisecond, never after more than
    // kMaxStride calls, and at every call again when the calls slow down.
    const std::int64_t sinceCheck = now - m_lastCheck;
    if (sinceCheck < 1)
        m_stride = std::min(m_stride * 2, kMaxStride);
    else if (sinceCheck > kSlowCheckMs)
        m_stride = 1;
    m_lastCheck = now;
    m_countdown = m_stride;
    return now - m_lastServed >= m_interval;
}

void EventPump::Serve()
{
    // A display may register another one while it runs (a command started
    // inside a serve): go over a copy.
    const auto displays = m_displays;
    for (const auto &display : displays)
        display.second();
    ++m_serves;
    if (m_processEvents)
        m_processEvents();
    // The interval counts from the end of the serve, so a serve that took
    // long (a dialog, a slow paint) is not followed by another at once.
    m_served = true;
    m_lastServed = m_clock();
    m_lastCheck = m_lastServed;
    m_countdown = m_stride;
}

int EventPump::AddDisplay(std::function<void()> show)
{
    const int id = m_nextId++;
    m_displays.emplace_back(id, std::move(show));
    return id;
}

void EventPump::RemoveDisplay(int id)
{
    std::erase_if(m_displays, [id](const auto &display) { return display.first == id; });
}

} // namespace tovaly
