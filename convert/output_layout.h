#pragma once
// Where converted messages go: every source folder becomes a mirror folder
// under the output root, holding one mailbox named after that folder. The
// command line can also gather them per Opera account or into one mailbox.
//
// The text functions are pure and take the path style explicitly, so the
// Windows and POSIX rules can both be exercised on any host; the program
// itself uses kNativePathStyle.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

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

/// Where a mailbox goes: the output folder, the folders below it and the
/// file name, as the layout found them, so that folders are made and the
/// mailbox opened one name at a time without the path being split again.
struct MailboxLocation {
    std::string root;                 ///< the output folder, ending in a separator
    std::vector<std::string> folders; ///< the folders below it, outermost first
    std::string file;                 ///< the mailbox file name
    PathStyle style = kNativePathStyle;

    /// A mailbox named by its whole path, with no output folder to keep it
    /// in: `root` and `folders` are empty.
    static MailboxLocation At(std::string path, PathStyle style = kNativePathStyle);

    /// The root and the first `depth` folders, joined by separators: the
    /// root alone (as it is written) for 0.
    std::string FolderPath(std::size_t depth) const;
    /// The root and every folder, each followed by a separator.
    std::string MirrorFolder() const;
    /// The mailbox file's path: MirrorFolder() and the file name.
    std::string Path() const;

    bool operator==(const MailboxLocation &) const = default;
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

/// How a run gathers messages into mailboxes.
enum class MailboxPer {
    Folder,  ///< one per source folder, in a mirror of its path (MailboxPathFor)
    Account, ///< one per Opera account folder (AccountMailboxPathFor)
    Store,   ///< one for everything (StoreMailboxPathFor)
};

/// The mailbox name of the store layout when none is given.
inline constexpr std::string_view kDefaultStoreMailboxName = "opera";

/// "folder", "account" or "store" as a MailboxPer; nothing for other text.
std::optional<MailboxPer> ParseMailboxPer(std::string_view text);

/// Whether `name` can name a mailbox file directly in the output folder: not
/// empty, not "." or "..", not ".mbox" alone, no control character and no
/// separator ("/"; in the Windows style also "\" and the characters Windows
/// refuses in file names, ":" among them).
bool IsPlainMailboxName(std::string_view name, PathStyle style = kNativePathStyle);

/// The file name of the mailbox called `name`: `name` with ".mbox" added,
/// unless it ends in ".mbox" (in any case) already; a name too long for a
/// file name is shortened the way a long folder's mailbox name is.
std::string MailboxFileName(std::string_view name);

/// Whether a folder name is an Opera account folder: "account" (in any
/// case) followed by one or more digits, such as "account1".
bool IsAccountFolderName(std::string_view name);

/// The account layout. A source that lies in an account folder (the
/// innermost folder of its path named like "account1") goes to a mailbox
/// named after that folder, in the mirror of the account folder's parent:
/// /home/ann/store/account1/2010/01/05/1.mbs under /out/ goes to
/// /out/home/ann/store/account1.mbox. Any other source goes to a mailbox
/// named after `topFolder` (the folder given to the run that it was found
/// under; empty means the source's own folder), in the mirror of that
/// folder's parent: /out/home/ann/store.mbox for the top folder
/// /home/ann/store. A top folder that is a root is laid out like a message
/// file in that root (see MailboxPathFor). The mirror follows MailboxPathFor,
/// so the result always lies under the output root.
MailboxLocation AccountMailboxPathFor(std::string_view sourcePath, std::string_view topFolder,
                                      std::string_view outputRoot, PathStyle style = kNativePathStyle);

/// The store layout: every source goes to one mailbox, `name` (see
/// MailboxFileName) right in the output root. A name that
/// IsPlainMailboxName refuses gives kDefaultStoreMailboxName instead.
MailboxLocation StoreMailboxPathFor(std::string_view outputRoot, std::string_view name,
                                    PathStyle style = kNativePathStyle);

/// The layout of one run: which rule, and the mailbox name of the store rule.
struct MailboxLayout {
    MailboxPer per = MailboxPer::Folder;
    std::string storeName{kDefaultStoreMailboxName}; ///< only for MailboxPer::Store
};

/// The location of `sourcePath` under the rule of `layout`; `topFolder` is
/// used by the account rule only.
MailboxLocation MailboxPathFor(const MailboxLayout &layout, std::string_view sourcePath, std::string_view topFolder,
                               std::string_view outputRoot, PathStyle style = kNativePathStyle);

/// What EnsureFolderExists did: true when the folder exists, else the error
/// that stopped it.
struct [[nodiscard]] FolderMade {
    std::error_code error;
    explicit operator bool() const { return !error; }
};

/// Creates `folder` and every missing folder above it. True when the folder
/// exists afterwards; folders that exist already are left as they are.
FolderMade EnsureFolderExists(std::string_view folder);

} // namespace tovaly
