// opera2mbox: converts Opera Mail message files into mbox mailboxes.

#include "command_line.h"
#include "interrupt_signals.h"
#include "mailbox_record.h"
#include "program_main.h"

#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// The width of the terminal stderr shows on, asked anew for every drawing
// of the progress bar so it follows a resized window; 0 when unknown.
std::size_t StderrColumns()
{
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    return 0;
#else
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0)
        return size.ws_col;
    return 0;
#endif
}

} // namespace

int tovaly::ProgramMain(const std::vector<std::string> &args)
{
    std::ios::sync_with_stdio(false);
    tovaly::LetOversizeWritesFail();
    tovaly::CatchInterrupts();
    const int status = tovaly::RunOpera2Mbox(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0, StderrColumns);
    tovaly::InterruptHandled();
    return status;
}

// Windows starts the program at wmain (wmain_windows.cpp), with its
// arguments in UTF-16.
#ifndef _WIN32
int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return tovaly::ProgramMain(args);
}
#endif
