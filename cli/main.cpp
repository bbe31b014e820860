// opera2mbox: converts Opera Mail message files into mbox mailboxes.

#include "command_line.h"
#include "mailbox_record.h"

#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

int main(int argc, char **argv)
{
    std::ios::sync_with_stdio(false);
    tovaly::LetOversizeWritesFail();
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return tovaly::RunOpera2Mbox(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
