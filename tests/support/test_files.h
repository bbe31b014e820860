#pragma once
// File helpers the Qt-free tests share, the same on Linux and on Windows.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

namespace tovaly::test {

/// A new, empty folder under the system's temporary folder, named after
/// `prefix` and a random part; empty when none could be made.
inline std::filesystem::path MakeTempFolder(std::string_view prefix)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec)
        return {};
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            base / (std::string(prefix) + "_" + std::to_string(random()) + "_" + std::to_string(random()));
        if (fs::create_directory(candidate, ec))
            return candidate;
    }
    return {};
}

/// Sets the modification time of `path` to `unixTime` (seconds since 1970).
inline bool SetModificationTime(const std::filesystem::path &path, std::int64_t unixTime)
{
    using namespace std::chrono;
    const sys_time<seconds> when{seconds(unixTime)};
    std::error_code ec;
    std::filesystem::last_write_time(path, file_clock::from_sys(when), ec);
    return !ec;
}

/// Whether this process can open `path` for writing after all (as an
/// administrator or root can, whatever the file's permissions say).
/// Nothing is written.
inline bool OpensForWriting(const std::filesystem::path &path)
{
    std::ofstream out(path, std::ios::binary | std::ios::app);
    return out.is_open();
}

} // namespace tovaly::test
