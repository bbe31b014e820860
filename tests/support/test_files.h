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

/// A new, empty temporary folder (see MakeTempFolder) for as long as the
/// object lives; then it is removed with everything in it, after its owner
/// permissions are given back to it and to every folder in it.
class TempFolder {
public:
    explicit TempFolder(std::string_view prefix) : m_path(MakeTempFolder(prefix)) {}
    ~TempFolder()
    {
        namespace fs = std::filesystem;
        std::error_code ec;
        if (m_path.empty())
            return;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
        for (auto it = fs::recursive_directory_iterator(m_path, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
        fs::remove_all(m_path, ec);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    /// The folder; empty when none could be made.
    [[nodiscard]] const std::filesystem::path &Path() const { return m_path; }

    /// Writes `content` to the file `relative` below the folder, making the
    /// folders on its way; its path.
    std::filesystem::path Put(const std::filesystem::path &relative, std::string_view content) const
    {
        const std::filesystem::path path = m_path / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
        return path;
    }

private:
    std::filesystem::path m_path;
};

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
