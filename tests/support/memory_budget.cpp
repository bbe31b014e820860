#include "memory_budget.h"

#include <cstdio>

#ifndef _WIN32
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tovaly::test_support {

int RunWithinMemoryBudget(std::size_t budget, const std::function<bool()> &work)
{
#if defined(TOVALY_ADDRESS_SANITIZER) || defined(_WIN32)
    // Windows has no fork() to limit a copy of this process: the work runs
    // here without a limit, so its results are checked all the same.
    (void)budget;
    return work() ? 0 : 1;
#else
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return -1000;
    if (child == 0) {
        // Memory the earlier tests freed but the heap kept would be room
        // beyond the budget: it goes back to the system first.
        malloc_trim(0);
        long pages = 0;
        if (std::FILE *statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(statm);
        }
        const auto used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
        const rlimit limit{used + budget, used + budget};
        if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(3);
        bool ok = false;
        try {
            ok = work();
        } catch (...) {
            ok = false;
        }
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {}
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
#endif
}

std::string Repeated(std::string_view piece, std::size_t times)
{
    std::string text;
    text.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        text.append(piece);
    return text;
}

} // namespace tovaly::test_support
