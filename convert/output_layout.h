#pragma once
// Where converted messages go: every source folder becomes a mirror folder
// under the output root, holding one mailbox named after that folder.
//
// The text functions are pure and take the path style explicitly, so the
// Windows and POSIX rules can both be exercised on any host; the program
// itself uses kNativePathStyle.

#include <string>
#include <string_view>

namespace tovaly {

enum class PathStyle {
    Windows, // "\" is the only separator, roots like "C:\" or "\\server\"
    Posix,   // "/" is the only separator, the root is "/"
};

#ifdef _WIN32
inline constexpr PathStyle kNativePathStyle = PathStyle::Windows;
#else
inline constexpr PathStyle kNativePathStyle = PathStyle::Posix;
#endif

/// The separator character of a path style.
char PathSeparator(PathStyle style = kNativePathStyle);

/// The part of `path` up to and including its last separator; empty when
/// the path holds no separator.
std::string FolderOfPath(std::string_view path, PathStyle style = kNativePathStyle);

/// The part of `path` after its last separator; the whole path when it holds
/// none; empty when the path ends in a separator.
std::string LastPathPart(std::string_view path, PathStyle style = kNativePathStyle);

/// `folder` with one trailing separator added when it does not end in one.
std::string WithTrailingSeparator(std::string_view folder, PathStyle style = kNativePathStyle);

/// `path` with "." and ".." segments resolved and repeated separators folded,
/// without touching the file system. ".." never climbs above the root.
std::string LexicallyNormal(std::string_view path, PathStyle style = kNativePathStyle);

/// `path` made absolute against the current working folder (native style)
/// and lexically normal.
std::string AbsolutePath(std::string_view path);

struct MailboxLocation {
    std::string mirrorFolder; ///< ends in a separator
    std::string mailboxPath;  ///< mirrorFolder + folder name + ".mbox"
};

/// Maps a source message path to its mirror folder and mailbox file under
/// `outputRoot` (which should end in a separator; one is added if not; in
/// the Windows style its "/" are written as "\").
/// The source folder is taken without its root ("C:\", "/", "\\") and
/// lexically normalised first, so the result always lies under the output
/// root. When the mirror folder is a root itself, the mailbox is named after
/// the drive letter ("E.mbox") or "root" ("root.mbox"). A mailbox name that
/// would be longer than 255 bytes is the folder name cut short on a UTF-8
/// character boundary, "~", eight hex digits of a hash of the whole folder
/// name and ".mbox": 255 bytes, the same for every file of that folder.
MailboxLocation MailboxPathFor(std::string_view sourcePath, std::string_view outputRoot,
                               PathStyle style = kNativePathStyle);

/// Creates `folder` and every missing folder above it. True when the folder
/// exists afterwards; folders that exist already are left as they are.
[[nodiscard]] bool EnsureFolderExists(std::string_view folder);

} // namespace tovaly
