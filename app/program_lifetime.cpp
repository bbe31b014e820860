#include "program_lifetime.h"

#include <utility>

namespace tovaly {

ProgramLifetime::ProgramLifetime(Action processEvents, Action quitEventLoop, Action terminate)
    : m_processEvents(std::move(processEvents)), m_quitEventLoop(std::move(quitEventLoop)),
      m_terminate(std::move(terminate))
{
}

void ProgramLifetime::Yield()
{
    if (m_processEvents)
        m_processEvents();
    if (m_ended && m_terminate)
        m_terminate();
}

void ProgramLifetime::End()
{
    m_ended = true;
    // Inside a yield, the running Yield terminates once the events are
    // handled; from the event loop, quitting it is all there is to do.
    if (m_quitEventLoop)
        m_quitEventLoop();
}

} // namespace tovaly
