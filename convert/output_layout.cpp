#include "output_layout.h"

#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tovaly {

namespace {

bool IsAsciiLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The root at the start of a path: "C:\", "C:" (drive-relative), "\\" (UNC),
// "\" (root of the current drive) or "/". Empty for a relative path.
// Windows paths are expected with "\" only (see ToWindowsSeparators).
std::string_view RootOf(std::string_view path, PathStyle style)
{
    if (style == PathStyle::Posix)
        return path.substr(0, !path.empty() && path[0] == '/' ? 1 : 0);
    if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == ':')
        return path.substr(0, path.size() >= 3 && path[2] == '\\' ? 3 : 2);
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\')
        return path.substr(0, 2);
    if (!path.empty() && path[0] == '\\')
        return path.substr(0, 1);
    return {};
}

// Windows itself accepts "/" as a separator, so a lexical rule that kept it
// as a name character could be tricked by "x/../.." into leaving a folder.
std::string ToWindowsSeparators(std::string_view path)
{
    std::string result(path);
    for (char &c : result) {
        if (c == '/')
            c = '\\';
    }
    return result;
}

// `path` read as names below some folder, whatever it begins with: empty
// names and "." dropped, ".." taking back the name before it (or dropped).
// Each name is followed by a separator.
std::string PlainFolderNames(std::string_view path, PathStyle style)
{
    const char sep = PathSeparator(style);
    std::vector<std::string_view> names;
    while (!path.empty()) {
        const auto end = path.find(sep);
        const std::string_view name = path.substr(0, end);
        if (name == "..") {
            if (!names.empty())
                names.pop_back();
        } else if (!name.empty() && name != ".") {
            names.push_back(name);
        }
        path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
    }
    std::string result;
    for (const std::string_view name : names) {
        result.append(name);
        result.push_back(sep);
    }
    return result;
}

bool IsDriveDesignator(std::string_view name)
{
    return name.size() == 2 && IsAsciiLetter(name[0]) && name[1] == ':';
}

// File systems take names of up to 255 bytes (ext4, XFS, Btrfs, APFS) or
// 255 UTF-16 units (NTFS), which a UTF-8 name of 255 bytes never exceeds.
constexpr std::size_t kMaxFileNameBytes = 255;
constexpr std::string_view kMailboxExtension = ".mbox";

// FNV-1a, 32 bits: short, and the same on every platform and in every run.
std::uint32_t NameHash(std::string_view name)
{
    std::uint32_t hash = 2166136261u;
    for (char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

// The mailbox file name for a folder `name`: the name and ".mbox", or, when
// that is too long for a file name, the name cut short (never inside a UTF-8
// character), "~" and the hash of the whole name in eight hex digits.
std::string MailboxFileName(std::string_view name)
{
    std::string file;
    if (name.size() + kMailboxExtension.size() <= kMaxFileNameBytes) {
        file.reserve(name.size() + kMailboxExtension.size());
        file.append(name);
    } else {
        constexpr std::size_t kMarkBytes = 9; // "~" and eight hex digits
        std::size_t keep = kMaxFileNameBytes - kMailboxExtension.size() - kMarkBytes;
        // Step back over UTF-8 continuation bytes (at most three) so the cut
        // falls before the first byte of a character.
        for (int back = 0; back < 3 && keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80; ++back)
            --keep;
        constexpr std::string_view kHex = "0123456789abcdef";
        const std::uint32_t hash = NameHash(name);
        file.append(name.substr(0, keep));
        file.push_back('~');
        for (int shift = 28; shift >= 0; shift -= 4)
            file.push_back(kHex[(hash >> shift) & 0xFu]);
    }
    file.append(kMailboxExtension);
    return file;
}

} // namespace

char PathSeparator(PathStyle style)
{
    return style == PathStyle::Windows ? '\\' : '/';
}

std::string FolderOfPath(std::string_view path, PathStyle style)
{
    const auto pos = path.rfind(PathSeparator(style));
    if (pos == std::string_view::npos)
        return {};
    return std::string(path.substr(0, pos + 1));
}

std::string LastPathPart(std::string_view path, PathStyle style)
{
    const auto pos = path.rfind(PathSeparator(style));
    if (pos == std::string_view::npos)
        return std::string(path);
    return std::string(path.substr(pos + 1));
}

std::string WithTrailingSeparator(std::string_view folder, PathStyle style)
{
    std::string result(folder);
    const char sep = PathSeparator(style);
    if (!result.empty() && result.back() != sep)
        result.push_back(sep);
    return result;
}

std::string LexicallyNormal(std::string_view path, PathStyle style)
{
    if (path.empty())
        return {};
    const char sep = PathSeparator(style);
    std::string windowsPath;
    if (style == PathStyle::Windows) {
        windowsPath = ToWindowsSeparators(path);
        path = windowsPath;
    }

    const std::string_view root = RootOf(path, style);
    std::string_view rest = path.substr(root.size());

    std::vector<std::string_view> parts;
    bool endsAsFolder = false;
    while (true) {
        const auto pos = rest.find(sep);
        const std::string_view part = rest.substr(0, pos);
        endsAsFolder = part.empty() || part == "." || part == "..";
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (root.empty())
                parts.push_back(part); // a relative path may climb; a rooted one may not
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (pos == std::string_view::npos)
            break;
        rest.remove_prefix(pos + 1);
    }

    std::string result(root);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            result.push_back(sep);
        result.append(parts[i]);
    }
    if (endsAsFolder && !parts.empty())
        result.push_back(sep);
    if (result.empty())
        result = ".";
    return result;
}

std::string AbsolutePath(std::string_view path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path absolute = fs::absolute(fs::path(std::string(path)), ec);
    if (ec || absolute.empty()) {
        ec.clear();
        absolute = fs::current_path(ec);
        if (ec)
            return LexicallyNormal(path, kNativePathStyle);
        absolute /= fs::path(std::string(path));
    }
    return LexicallyNormal(absolute.string(), kNativePathStyle);
}

MailboxLocation MailboxPathFor(std::string_view sourcePath, std::string_view outputRoot,
                               PathStyle style)
{
    const char sep = PathSeparator(style);
    const std::string source = LexicallyNormal(sourcePath, style);
    const std::string folder = FolderOfPath(source, style);

    // The source folder without its root, as plain names: a relative folder
    // cannot climb, and a root that only shows once ".." is resolved ("a\..\b:.")
    // leaves no "." behind.
    std::string_view rest = folder;
    rest.remove_prefix(RootOf(rest, style).size());
    const std::string below = PlainFolderNames(rest, style);

    MailboxLocation location;
    // Windows reads "/" in the output root as a separator too.
    location.mirrorFolder = WithTrailingSeparator(
        style == PathStyle::Windows ? ToWindowsSeparators(outputRoot) : std::string(outputRoot), style);
    location.mirrorFolder.append(below);

    std::string_view inner = location.mirrorFolder;
    if (!inner.empty() && inner.back() == sep)
        inner.remove_suffix(1);
    std::string name = LastPathPart(inner, style);
    if (style == PathStyle::Windows && IsDriveDesignator(name))
        name.resize(1); // "E:\" holds "E.mbox", not the invalid "E:.mbox"
    else if (name.empty())
        name = "root";

    location.mailboxPath = location.mirrorFolder + MailboxFileName(name);
    return location;
}

bool EnsureFolderExists(std::string_view folder)
{
    namespace fs = std::filesystem;
    if (folder.empty())
        return false;
    try {
        // "a/b/" names the folder b: drop trailing separators (never the root).
        fs::path target{std::string(folder)};
        while (target.has_relative_path() && !target.has_filename())
            target = target.parent_path();
        // Mostly the parent exists already: one mkdir settles it.
        std::error_code ec;
        if (fs::create_directory(target, ec) || !ec)
            return true;
        ec.clear();
        fs::create_directories(target, ec);
        ec.clear();
        return fs::is_directory(target, ec);
    } catch (...) {
        // A path that cannot be converted or stored counts as not created.
        return false;
    }
}

} // namespace tovaly
