#include "error_text.h"

#include <system_error>

namespace tovaly {

std::string Counted(std::uint64_t n, const char *singular, const char *plural)
{
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

std::string Quoted(std::string_view path)
{
    std::string quoted;
    quoted.reserve(path.size() + 2);
    quoted += '\'';
    quoted += path;
    quoted += '\'';
    return quoted;
}

std::string Describe(int error)
{
    return std::generic_category().message(error);
}

std::string Describe(const std::error_code &error)
{
    return error.message();
}

} // namespace tovaly
