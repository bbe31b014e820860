#pragma once
// pathLogger walks a folder tree breadth-first, without recursion, and
// records every file in it. The add-folder command and the command-line tool
// use one walker per scan and filter the names themselves; the walker does no
// filtering of its own.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tovaly {

/// An ordered list indexed from 1 whose items each carry a unique text key
/// ("K0", "K2", ...). Items are read by position or in order; the key is
/// kept so that a lookup by key works as well. The index by key is built
/// only when it is first needed (a lookup, or an Add that must check the
/// key), so a walker that appends hundreds of thousands of items with keys
/// it knows to be unique never pays for it.
template <typename T>
class KeyedList {
public:
    /// Appends `value` under `key`. False, and nothing added, when the key is
    /// taken already.
    bool Add(T value, std::string key)
    {
        IndexAll();
        if (m_index.count(key) != 0)
            return false;
        m_index.emplace(key, m_values.size());
        ++m_indexed;
        Append(std::move(value), std::move(key));
        return true;
    }

    /// Appends `value` under `key`, which the caller knows no item has.
    void AddUnique(T value, std::string key) { Append(std::move(value), std::move(key)); }

    /// Number of items.
    [[nodiscard]] std::size_t Count() const { return m_values.size(); }
    [[nodiscard]] bool Empty() const { return m_values.empty(); }

    /// The item at the 1-based `index`; throws std::out_of_range outside
    /// 1..Count().
    [[nodiscard]] const T &Item(std::size_t index) const { return m_values.at(Checked(index)); }

    /// The key of the item at the 1-based `index`; throws like Item().
    [[nodiscard]] const std::string &Key(std::size_t index) const { return m_keys.at(Checked(index)); }

    /// The item stored under `key`, or nullptr.
    [[nodiscard]] const T *Find(const std::string &key) const
    {
        IndexAll();
        const auto it = m_index.find(key);
        return it == m_index.end() ? nullptr : &m_values[it->second];
    }

    /// All items in order (a plain vector, 0-based).
    [[nodiscard]] const std::vector<T> &Values() const { return m_values; }
    /// All keys in item order.
    [[nodiscard]] const std::vector<std::string> &Keys() const { return m_keys; }

    [[nodiscard]] auto begin() const { return m_values.begin(); }
    [[nodiscard]] auto end() const { return m_values.end(); }

private:
    static std::size_t Checked(std::size_t index)
    {
        if (index == 0)
            throw std::out_of_range("KeyedList positions start at 1");
        return index - 1;
    }

    void Append(T value, std::string key)
    {
        m_values.push_back(std::move(value));
        m_keys.push_back(std::move(key));
    }

    // Brings the index up to the items appended since it was last used.
    void IndexAll() const
    {
        for (; m_indexed < m_keys.size(); ++m_indexed)
            m_index.emplace(m_keys[m_indexed], m_indexed);
    }

    std::vector<T> m_values;
    std::vector<std::string> m_keys;
    mutable std::unordered_map<std::string, std::size_t> m_index;
    mutable std::size_t m_indexed = 0; // items m_index covers
};

using TextList = KeyedList<std::string>;
using NumberList = KeyedList<std::int32_t>;

/// An entry of a folder that is neither a folder nor a regular file, nor a
/// link to one, and why.
struct UnusableEntry {
    std::string name;
    int errorCode = 0;  ///< errno-style code; 0 for an entry of another kind
    std::string reason; ///< plain words, e.g. "not a regular file"
};

/// The result of listing one folder: the entry names in the order the file
/// system gives them, or the reason the listing failed.
struct FolderListing {
    std::vector<std::string> names;
    /// Of a file listing: the entries that are neither files nor folders (a
    /// pipe, a link that leads nowhere or cannot be followed), in order.
    std::vector<UnusableEntry> unusable;
    int errorCode = 0; ///< errno-style code of the failure, 0 on success
    std::string error; ///< the failure in plain words, empty on success
    bool failed = false;

    /// A failed listing with `code` and `reason`.
    static FolderListing Failure(int code, std::string reason)
    {
        FolderListing listing;
        listing.failed = true;
        listing.errorCode = code;
        listing.error = std::move(reason);
        return listing;
    }
};

/// The file system as the walker sees it. Listings never include "." and
/// "..", include hidden entries, and come in the service's own order (the
/// walker does not sort).
class FileSystemService {
public:
    virtual ~FileSystemService() = default;
    /// True when `path` names a folder (or a link to one).
    virtual bool FolderExists(const std::string &path) = 0;
    /// Names of the immediate subfolders of `folder`, links to folders included.
    virtual FolderListing ListSubfolders(const std::string &folder) = 0;
    /// Names of the files of `folder`: regular files and links to regular
    /// files. Every other entry that is not a folder either (a socket, a pipe,
    /// a device, a link that leads nowhere or cannot be followed) comes in
    /// `unusable`. A folder that can be read but not searched (its entries
    /// cannot be opened) fails to list, like one that cannot be read.
    virtual FolderListing ListFiles(const std::string &folder) = 0;
    /// A text that is the same for every path leading to the same folder
    /// (device and inode after following links); nothing when unknown.
    virtual std::optional<std::string> FolderIdentity(const std::string &path) = 0;
};

/// Whether the name `a` comes before `b` in a folder listing of the real
/// file system. Names are compared as an NTFS folder lists them: as UTF-16
/// code units, letters in upper case (ASCII, Latin-1, Latin Extended-A,
/// Greek, Cyrillic and the full-width Latin letters; other characters as
/// they are). Names that are equal so compare by their exact code units, so
/// that "Inbox.mbs" and "inbox.mbs", which Linux can hold side by side, still
/// come in one order.
[[nodiscard]] bool NameListedBefore(std::string_view a, std::string_view b);

/// Sorts `names` by NameListedBefore.
void SortAsListed(std::vector<std::string> &names);

/// Entries of a folder listed between two calls of the real file system's
/// yield.
inline constexpr std::size_t kEntriesPerYield = 512;

/// The real file system (std::filesystem underneath). It lists a folder's
/// subfolders and files sorted by NameListedBefore, the order NTFS gives, so
/// the same tree is walked in the same order on every system and the same
/// store makes the same mailboxes byte for byte. `yield`, when given,
/// is called after every kEntriesPerYield entries of a folder being listed,
/// so that a folder of hundreds of thousands of files does not keep a
/// window waiting until it is listed.
std::shared_ptr<FileSystemService> MakeRealFileSystem(std::function<void()> yield = {});

/// A folder the walker could not list, or an entry it could not use, and why.
struct SkippedPath {
    std::string path;   ///< a folder as recorded in pathNames (ending in a
                        ///< separator), an entry as its folder plus its name
    int errorCode = 0;  ///< errno-style code; 0 for an entry of another kind
    std::string reason; ///< plain words, e.g. "Permission denied"
};
using SkippedFolder = SkippedPath;

/// Breadth-first folder walker. Calling order: PathLogInit, optionally
/// setFullFileNamesOnly, one LogPath, the list getters, Terminate.
///
/// pathNames is both the queue of folders to visit and, afterwards, the
/// record of every folder visited: the start folder first (key "K0"), then
/// every folder in the order found (key "K" + its position, so K2, K3, ...).
/// The file lists hold one item per file (key "K" + the file's running
/// number), grouped by folder in pathNames order. Folder paths use the native
/// separator and end in it.
///
/// Unlike a plain walk, a folder reached a second time (a link cycle, or two
/// links to the same folder) is not entered again, and a folder that cannot
/// be listed is recorded in skippedFolders() while the walk goes on. Entries
/// that are neither files nor folders are recorded in skippedEntries().
class pathLogger {
public:
    using YieldFunction = std::function<void()>;

    /// A walker on `fileSystem` (the real one when null, which then yields
    /// through `yield` while it lists a large folder) that calls `yield` at
    /// its yield points (none when empty).
    explicit pathLogger(std::shared_ptr<FileSystemService> fileSystem = nullptr, YieldFunction yield = {});

    /// Sets the function called at every yield point.
    void setYield(YieldFunction yield);

    /// Makes the walker ready: yields, sets fullFileNamesOnly to true and
    /// releases the four lists and the skipped folders and entries.
    void PathLogInit();

    /// Walks the tree under `strPARENT` and fills the lists. Does nothing,
    /// Count included, when `strPARENT` is not a folder. Count restarts at 1;
    /// a second walk without PathLogInit starts from new lists (lists handed
    /// out before keep the first walk's items).
    void LogPath(const std::string &strPARENT);

    /// The running file number: 0 for a new walker, set to 1 when a walk
    /// starts and raised by 1 per file recorded, so one more than the number
    /// of files after a walk. Not reset by PathLogInit or Terminate.
    [[nodiscard]] std::int32_t Count() const { return m_count; }

    /// Yields, then releases the lists and the skipped folders and entries.
    /// Count and fullFileNamesOnly keep their values; lists handed out before
    /// stay valid with their contents.
    void Terminate();

    /// True: a walk fills only fullFileNames. False: also fileNames and
    /// pathPointers. A new walker starts with false; PathLogInit sets true.
    [[nodiscard]] bool fullFileNamesOnly() const { return m_fullFileNamesOnly; }
    void setFullFileNamesOnly(bool fullPath) { m_fullFileNamesOnly = fullPath; }

    /// The walker's own lists (shared, not copies). A released list comes
    /// back as a new empty list; never null.
    [[nodiscard]] std::shared_ptr<TextList> fileNames();
    [[nodiscard]] std::shared_ptr<TextList> pathNames();
    [[nodiscard]] std::shared_ptr<NumberList> pathPointers();
    [[nodiscard]] std::shared_ptr<TextList> fullFileNames();

    /// Folders of the last walk that could not be listed, in walk order.
    /// They stay in pathNames; their files and subfolders are missing.
    [[nodiscard]] const std::vector<SkippedFolder> &skippedFolders() const { return m_skipped; }

    /// Entries of the last walk that are neither files nor folders (see
    /// FileSystemService::ListFiles), in walk order, whatever their names.
    [[nodiscard]] const std::vector<SkippedPath> &skippedEntries() const { return m_unusable; }

private:
    static std::string AddBackslash(const std::string &path);
    void DoYield() const;
    void Release();
    void Skip(const std::string &folder, const FolderListing &listing);

    std::shared_ptr<FileSystemService> m_fileSystem;
    YieldFunction m_yield;
    std::int32_t m_count = 0;
    bool m_fullFileNamesOnly = false;
    std::shared_ptr<TextList> m_fileNames;
    std::shared_ptr<NumberList> m_pathPointers;
    std::shared_ptr<TextList> m_pathNames;
    std::shared_ptr<TextList> m_fullFileNames;
    std::vector<SkippedFolder> m_skipped;
    std::vector<SkippedPath> m_unusable;
};

} // namespace tovaly
