// What RecordFileIo does alike on every system, over the primitives each
// system's file defines.

#include "record_file_io.h"

#include <new>

namespace tovaly {

namespace {

bool IsOneName(std::string_view name, PathStyle style)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    const auto isSeparator = [style](char c) { return c == '/' || (style == PathStyle::Windows && c == '\\'); };
    for (const char c : name) {
        if (isSeparator(c) || c == '\0')
            return false;
    }
    return true;
}

} // namespace

bool NamesStayBelowRoot(const MailboxLocation &location)
{
    if (location.root.empty())
        return true;
    for (const std::string &folder : location.folders) {
        if (!IsOneName(folder, location.style))
            return false;
    }
    return location.file.empty() || IsOneName(location.file, location.style);
}

IoResult<std::string_view> RecordFileIo::ReadView(int fd, std::span<char> scratch)
{
    const IoResult<std::size_t> got = Read(fd, scratch.data(), scratch.size());
    return {std::string_view(scratch.data(), got.error ? 0 : got.value), got.error};
}

FolderMade RecordFileIo::MakeFolders(const MailboxLocation &location, std::string *link)
{
    try {
        if (location.root.empty() || !NamesStayBelowRoot(location))
            return {IoError(std::errc::invalid_argument)};
        std::size_t reached = 0;
        const std::error_code error = WalkFolders(location, true, reached);
        if (error == std::errc::too_many_symbolic_link_levels && link && reached < location.folders.size())
            *link = location.FolderPath(reached + 1);
        return {error};
    } catch (const std::bad_alloc &) {
        return {IoError(std::errc::not_enough_memory)};
    }
}

} // namespace tovaly
