#include "output_layout.h"

#include "utf8_path.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <new>
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

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// `path` read as names below some folder, whatever it begins with: empty
// names and "." dropped, ".." taking back the name before it (or dropped).
std::vector<std::string> PlainFolderNames(std::string_view path, PathStyle style)
{
    const char sep = PathSeparator(style);
    std::vector<std::string> names;
    while (!path.empty()) {
        const auto end = path.find(sep);
        const std::string_view name = path.substr(0, end);
        if (name == "..") {
            if (!names.empty())
                names.pop_back();
        } else if (!name.empty() && name != ".") {
            names.emplace_back(name);
        }
        path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
    }
    return names;
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
std::string FolderMailboxFileName(std::string_view name)
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

MailboxLocation MailboxLocation::At(std::string path, PathStyle style)
{
    MailboxLocation location;
    location.file = std::move(path);
    location.style = style;
    return location;
}

std::string MailboxLocation::FolderPath(std::size_t depth) const
{
    std::string path = WithTrailingSeparator(root, style);
    for (std::size_t i = 0; i < depth && i < folders.size(); ++i) {
        if (i > 0)
            path.push_back(PathSeparator(style));
        path.append(folders[i]);
    }
    return path;
}

std::string MailboxLocation::MirrorFolder() const
{
    std::string path = WithTrailingSeparator(root, style);
    for (const std::string &folder : folders) {
        path.append(folder);
        path.push_back(PathSeparator(style));
    }
    return path;
}

std::string MailboxLocation::Path() const
{
    return MirrorFolder() + file;
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
        result.assign(1, '.'); // not = ".": GCC 12 sees a false overlap there at -O3
    return result;
}

std::string AbsolutePath(std::string_view path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path absolute = fs::absolute(PathFromUtf8(path), ec);
    if (ec || absolute.empty()) {
        ec.clear();
        absolute = fs::current_path(ec);
        if (ec)
            return LexicallyNormal(path, kNativePathStyle);
        absolute /= PathFromUtf8(path);
    }
    return LexicallyNormal(Utf8FromPath(absolute), kNativePathStyle);
}

MailboxLocation MailboxPathFor(std::string_view sourcePath, std::string_view outputRoot, PathStyle style)
{
    const char sep = PathSeparator(style);
    const std::string source = LexicallyNormal(sourcePath, style);
    const std::string folder = FolderOfPath(source, style);

    // The source folder without its root, as plain names: a relative folder
    // cannot climb, and a root that only shows once ".." is resolved ("a\..\b:.")
    // leaves no "." behind.
    std::string_view rest = folder;
    rest.remove_prefix(RootOf(rest, style).size());

    MailboxLocation location;
    location.style = style;
    // Windows reads "/" in the output root as a separator too.
    location.root = WithTrailingSeparator(
        style == PathStyle::Windows ? ToWindowsSeparators(outputRoot) : std::string(outputRoot), style);
    location.folders = PlainFolderNames(rest, style);

    // Named after the innermost folder; in the output root itself, after
    // the root's last name.
    std::string name;
    if (!location.folders.empty()) {
        name = location.folders.back();
    } else {
        std::string_view inner = location.root;
        if (!inner.empty() && inner.back() == sep)
            inner.remove_suffix(1);
        name = LastPathPart(inner, style);
    }
    if (style == PathStyle::Windows && IsDriveDesignator(name))
        name.resize(1); // "E:\" holds "E.mbox", not the invalid "E:.mbox"
    else if (name.empty())
        name = "root";

    location.file = FolderMailboxFileName(name);
    return location;
}

std::optional<MailboxPer> ParseMailboxPer(std::string_view text)
{
    if (text == "folder")
        return MailboxPer::Folder;
    if (text == "account")
        return MailboxPer::Account;
    if (text == "store")
        return MailboxPer::Store;
    return std::nullopt;
}

bool IsPlainMailboxName(std::string_view name, PathStyle style)
{
    if (name.empty() || name == "." || name == ".." || EqualsIgnoringAsciiCase(name, ".mbox"))
        return false;
    constexpr std::string_view kRefusedByWindows = "\\:*?\"<>|";
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '/')
            return false;
        if (style == PathStyle::Windows && kRefusedByWindows.find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

std::string MailboxFileName(std::string_view name)
{
    if (name.size() > kMailboxExtension.size() &&
        EqualsIgnoringAsciiCase(name.substr(name.size() - kMailboxExtension.size()), kMailboxExtension)) {
        const std::string file(name);
        if (file.size() <= kMaxFileNameBytes)
            return file;
        name.remove_suffix(kMailboxExtension.size());
    }
    return FolderMailboxFileName(name);
}

bool IsAccountFolderName(std::string_view name)
{
    constexpr std::string_view kAccount = "account";
    if (name.size() <= kAccount.size() || !EqualsIgnoringAsciiCase(name.substr(0, kAccount.size()), kAccount))
        return false;
    for (const char c : name.substr(kAccount.size())) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

MailboxLocation AccountMailboxPathFor(std::string_view sourcePath, std::string_view topFolder,
                                      std::string_view outputRoot, PathStyle style)
{
    const char sep = PathSeparator(style);
    const std::string folder = FolderOfPath(LexicallyNormal(sourcePath, style), style);

    // The innermost account folder of the source's folder.
    const std::string_view root = RootOf(folder, style);
    std::string_view rest = std::string_view(folder).substr(root.size());
    std::size_t accountStart = std::string_view::npos;
    std::size_t accountEnd = 0;
    for (std::size_t start = 0; start < rest.size();) {
        const std::size_t end = std::min(rest.find(sep, start), rest.size());
        if (IsAccountFolderName(rest.substr(start, end - start))) {
            accountStart = start;
            accountEnd = end;
        }
        start = end + 1;
    }
    if (accountStart != std::string_view::npos) {
        // The parent of the account folder, taken as the folder of a file,
        // gives the mirror folder.
        const std::string parent = std::string(root) + std::string(rest.substr(0, accountStart));
        MailboxLocation location = MailboxPathFor(parent + "x", outputRoot, style);
        location.file = std::string(rest.substr(accountStart, accountEnd - accountStart)) + ".mbox";
        return location;
    }

    // In no account: the mailbox of the top folder, beside its mirror.
    std::string top = LexicallyNormal(topFolder.empty() ? std::string_view(folder) : topFolder, style);
    const std::size_t topRoot = RootOf(top, style).size();
    if (top.size() > topRoot && top.back() == sep)
        top.pop_back();
    const std::string name = LastPathPart(top, style);
    if (top.size() <= topRoot || name.empty() || name == "." || name == "..")
        return MailboxPathFor(WithTrailingSeparator(top, style) + "x", outputRoot, style);
    MailboxLocation location = MailboxPathFor(top, outputRoot, style);
    location.file = FolderMailboxFileName(name);
    return location;
}

MailboxLocation StoreMailboxPathFor(std::string_view outputRoot, std::string_view name, PathStyle style)
{
    MailboxLocation location;
    location.style = style;
    location.root = WithTrailingSeparator(outputRoot, style);
    if (location.root.empty())
        location.root = std::string(".") + PathSeparator(style);
    location.file = MailboxFileName(IsPlainMailboxName(name, style) ? name : kDefaultStoreMailboxName);
    return location;
}

MailboxLocation MailboxPathFor(const MailboxLayout &layout, std::string_view sourcePath, std::string_view topFolder,
                               std::string_view outputRoot, PathStyle style)
{
    switch (layout.per) {
    case MailboxPer::Account:
        return AccountMailboxPathFor(sourcePath, topFolder, outputRoot, style);
    case MailboxPer::Store:
        return StoreMailboxPathFor(outputRoot, layout.storeName, style);
    case MailboxPer::Folder:
        break;
    }
    return MailboxPathFor(sourcePath, outputRoot, style);
}

FolderMade EnsureFolderExists(std::string_view folder)
{
    namespace fs = std::filesystem;
    if (folder.empty())
        return {std::make_error_code(std::errc::no_such_file_or_directory)};
    try {
        // "a/b/" names the folder b: drop trailing separators (never the root).
        fs::path target = PathFromUtf8(folder);
        while (target.has_relative_path() && !target.has_filename())
            target = target.parent_path();
        // Mostly the parent exists already: one mkdir settles it.
        std::error_code ec;
        if (fs::create_directory(target, ec) || !ec)
            return {};
        ec.clear();
        fs::create_directories(target, ec);
        if (ec)
            return {ec};
        if (!fs::is_directory(target, ec))
            return {ec ? ec : std::make_error_code(std::errc::not_a_directory)};
        return {};
    } catch (const std::bad_alloc &) {
        return {std::make_error_code(std::errc::not_enough_memory)};
    } catch (...) {
        // A path that cannot be converted or stored counts as not created.
        return {std::make_error_code(std::errc::invalid_argument)};
    }
}

} // namespace tovaly
