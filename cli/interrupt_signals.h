#pragma once
// Ctrl-C, kill and a console window being closed stop a run between two
// records instead of in the middle of one: the first such signal only asks
// the run to stop (the record writer takes back the source it is writing),
// and the program then writes its summary and exits with 128 + the signal.

namespace tovaly {

/// Catches SIGINT and SIGTERM from now on (on Windows, the console's Ctrl-C
/// and Ctrl-Break as SIGINT, its close, log-off and shut-down events as
/// SIGTERM). Only the first is caught: a second one ends the program at once.
void CatchInterrupts();

/// The signal caught, 0 while none was.
int CaughtInterrupt();

/// Takes `signal` as caught (0 forgets it): what the handlers call.
void RequestInterrupt(int signal);

/// Tells a console close event waiting in its handler that the program has
/// written its summary (Windows ends the process when the handler returns).
void InterruptHandled();

/// 128 + `signal`: 130 for SIGINT, 143 for SIGTERM, as shells report them.
int InterruptedExitStatus(int signal);

} // namespace tovaly
