#pragma once
// The end of the program. Closing the window ends it at once: from the event
// loop the loop simply quits; from inside a long command's yield the process
// ends there and then, so the interrupted command never runs on.

#include <functional>

namespace tovaly {

class ProgramLifetime {
public:
    using Action = std::function<void()>;

    /// `processEvents` handles the pending events once, `quitEventLoop` makes
    /// the main event loop return, `terminate` ends the process (it does not
    /// return in the program).
    ProgramLifetime(Action processEvents, Action quitEventLoop, Action terminate);

    /// The window's yield: handles the pending events once. When the program
    /// was ended while they were handled, terminates before returning.
    void Yield();

    /// Ends the program: quits the event loop. When called inside a Yield
    /// (or before one), that Yield terminates the process before the command
    /// that yielded goes on.
    void End();

    [[nodiscard]] bool Ended() const { return m_ended; }

private:
    Action m_processEvents;
    Action m_quitEventLoop;
    Action m_terminate;
    bool m_ended = false;
};

} // namespace tovaly
