#include "interrupt_signals.h"

#include <atomic>
#include <csignal>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace tovaly {

namespace {

// Lock-free, so a signal handler and Windows' handler thread may set it.
std::atomic<int> g_caught{0};
static_assert(std::atomic<int>::is_always_lock_free);

#ifdef _WIN32
HANDLE g_handled = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (g_caught.load() != 0)
            return FALSE; // the second one: the default, which ends the program
        RequestInterrupt(SIGINT);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends when this returns: give the run the few seconds
        // Windows allows to take back its source and write its summary.
        RequestInterrupt(SIGTERM);
        if (g_handled)
            WaitForSingleObject(g_handled, 4500);
        return TRUE;
    default:
        return FALSE;
    }
}
#else
extern "C" void OnSignal(int signal)
{
    RequestInterrupt(signal);
}
#endif

} // namespace

void CatchInterrupts()
{
#ifdef _WIN32
    g_handled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls, and the default action back for a second signal.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

int CaughtInterrupt()
{
    return g_caught.load();
}

void RequestInterrupt(int signal)
{
    g_caught.store(signal);
}

void InterruptHandled()
{
#ifdef _WIN32
    if (g_handled)
        SetEvent(g_handled);
#endif
}

int InterruptedExitStatus(int signal)
{
    return 128 + signal;
}

} // namespace tovaly
