// opera2mbox's entry point on Windows. The system hands the arguments over
// in UTF-16 (main's would be in the ANSI code page, which cannot hold
// "Grüße" and "日本語" at once); they go on as UTF-8, the program's own
// form. The console shows what the program prints as UTF-8 while it runs.

#include "program_main.h"
#include "utf8_path.h"

#include <string>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// Sets the console's output code page to UTF-8 for the life of the
// program and gives the old one back on the way out.
class Utf8Console {
public:
    Utf8Console() : m_previous(GetConsoleOutputCP())
    {
        if (m_previous != 0)
            SetConsoleOutputCP(CP_UTF8);
    }
    ~Utf8Console()
    {
        if (m_previous != 0)
            SetConsoleOutputCP(m_previous);
    }
    Utf8Console(const Utf8Console &) = delete;
    Utf8Console &operator=(const Utf8Console &) = delete;

private:
    UINT m_previous;
};

} // namespace

int wmain(int argc, wchar_t **argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view wide(argv[i]);
        args.push_back(tovaly::Utf8FromUtf16(std::u16string(wide.begin(), wide.end())));
    }
    const Utf8Console console;
    return tovaly::ProgramMain(args);
}
