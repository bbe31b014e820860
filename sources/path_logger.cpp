#include "path_logger.h"

#include "utf8_path.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <numeric>
#include <set>
#include <system_error>
#include <tuple>

#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#endif

namespace tovaly {

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

class RealFileSystem final : public FileSystemService {
public:
    explicit RealFileSystem(std::function<void()> yield) : m_yield(std::move(yield)) {}

    bool FolderExists(const std::string &path) override
    {
        std::error_code ec;
        return !path.empty() && fs::is_directory(PathFromUtf8(path), ec);
    }

    // The walker asks for a folder's subfolders and then for its files: one
    // pass over the folder answers both.
    FolderListing ListSubfolders(const std::string &folder) override
    {
        FolderListing files;
        FolderListing subfolders = List(folder, &files, m_yield);
        m_cachedFolder = subfolders.failed ? std::string() : folder;
        m_cachedFiles = std::move(files);
        return subfolders;
    }

    FolderListing ListFiles(const std::string &folder) override
    {
        if (!m_cachedFolder.empty() && folder == m_cachedFolder) {
            m_cachedFolder.clear();
            return std::move(m_cachedFiles);
        }
        FolderListing files;
        const FolderListing subfolders = List(folder, &files, m_yield);
        return subfolders.failed ? subfolders : files;
    }

    std::optional<std::string> FolderIdentity(const std::string &path) override
    {
#ifdef _WIN32
        std::error_code ec;
        const fs::path canonical = fs::canonical(PathFromUtf8(path), ec);
        if (ec)
            return std::nullopt;
        return Utf8FromPath(canonical);
#else
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0)
            return std::nullopt;
        return std::to_string(static_cast<unsigned long long>(info.st_dev)) + ":" +
               std::to_string(static_cast<unsigned long long>(info.st_ino));
#endif
    }

private:
    // Why `entry`, neither a folder nor a regular file, cannot be used.
    static UnusableEntry Unusable(const fs::directory_entry &entry)
    {
        UnusableEntry unusable{Utf8FromPath(entry.path().filename()), 0, "not a regular file"};
        std::error_code ec;
        const fs::file_status target = fs::status(entry.path(), ec);
        std::error_code linkError;
        if (target.type() == fs::file_type::not_found && entry.is_symlink(linkError)) {
            unusable.errorCode = ENOENT;
            unusable.reason = "not a regular file: the link leads nowhere";
        } else if (ec) {
            unusable.errorCode = ec.value();
            unusable.reason = ec.message();
        }
        return unusable;
    }

    // Subfolders as the result, files into `files`.
    static FolderListing List(const std::string &folder, FolderListing *files, const std::function<void()> &yield)
    {
        FolderListing subfolders;
        std::error_code ec;
#ifdef _WIN32
        fs::directory_iterator it(PathFromUtf8(folder), ec);
        const fs::directory_iterator end;
        std::size_t entries = 0;
        for (; !ec && it != end; it.increment(ec)) {
            if (yield && ++entries % kEntriesPerYield == 0)
                yield();
            // Both tests follow links and answer from the listing itself
            // for anything but a link.
            std::error_code typeError;
            if (it->is_directory(typeError))
                subfolders.names.push_back(Utf8FromPath(it->path().filename()));
            else if (it->is_regular_file(typeError))
                files->names.push_back(Utf8FromPath(it->path().filename()));
            else
                files->unusable.push_back(Unusable(*it));
        }
        if (ec)
            return FolderListing::Failure(ec.value(), ec.message());
#else
        // A folder that can be read but not searched lists its names, yet
        // none of its entries can be opened or told apart: it counts as a
        // folder that cannot be listed.
        struct stat self {};
        if (::stat((fs::path(folder) / ".").c_str(), &self) != 0) {
            ec.assign(errno, std::generic_category());
            return FolderListing::Failure(ec.value(), ec.message());
        }
        // readdir() gives each entry's type with its name; only a link, or an
        // entry of a file system that does not say, costs a stat (which
        // follows links, as the window's own listing does).
        DIR *const dir = ::opendir(folder.c_str());
        if (dir == nullptr) {
            ec.assign(errno, std::generic_category());
            return FolderListing::Failure(ec.value(), ec.message());
        }
        std::size_t entries = 0;
        for (;;) {
            errno = 0;
            const dirent *const entry = ::readdir(dir);
            if (entry == nullptr) {
                if (errno != 0)
                    ec.assign(errno, std::generic_category());
                break;
            }
            const std::string_view name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            if (yield && ++entries % kEntriesPerYield == 0)
                yield();
            unsigned char type = entry->d_type;
            if (type == DT_LNK || type == DT_UNKNOWN) {
                struct stat target {};
                type = ::fstatat(::dirfd(dir), entry->d_name, &target, 0) != 0 ? DT_UNKNOWN
                       : S_ISDIR(target.st_mode)                               ? DT_DIR
                       : S_ISREG(target.st_mode)                               ? DT_REG
                                                                               : DT_UNKNOWN;
            }
            if (type == DT_DIR)
                subfolders.names.emplace_back(name);
            else if (type == DT_REG)
                files->names.emplace_back(name);
            else
                files->unusable.push_back(Unusable(fs::directory_entry(fs::path(folder) / entry->d_name)));
        }
        ::closedir(dir);
        if (ec)
            return FolderListing::Failure(ec.value(), ec.message());
#endif
        SortAsListed(subfolders.names);
        SortAsListed(files->names);
        std::stable_sort(
            files->unusable.begin(), files->unusable.end(),
            [](const UnusableEntry &a, const UnusableEntry &b) { return NameListedBefore(a.name, b.name); });
        return subfolders;
    }

    std::function<void()> m_yield;
    std::string m_cachedFolder;
    FolderListing m_cachedFiles;
};

std::string Key(std::int64_t number)
{
    return "K" + std::to_string(number);
}

// The upper-case form of one UTF-16 code unit, as NTFS folds names for its
// folder index, for the scripts file names mostly use.
char16_t UpperUnit(char16_t c)
{
    const auto shifted = [c](int by) { return static_cast<char16_t>(c + by); };
    if (c < 0x80)
        return c >= u'a' && c <= u'z' ? shifted(-32) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) // Latin-1: à..þ but ÷
        return shifted(-32);
    if (c == 0xFF) // ÿ
        return 0x178;
    if (c >= 0x100 && c <= 0x137) // Latin Extended-A pairs: upper even, lower odd
        return c != 0x131 && (c & 1) != 0 ? shifted(-1) : c;
    if (c >= 0x139 && c <= 0x148) // ...then upper odd, lower even
        return (c & 1) == 0 ? shifted(-1) : c;
    if (c >= 0x14A && c <= 0x177)
        return (c & 1) != 0 ? shifted(-1) : c;
    if (c >= 0x179 && c <= 0x17E)
        return (c & 1) == 0 ? shifted(-1) : c;
    if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) // Greek
        return shifted(-32);
    if (c == 0x3C2) // final sigma
        return 0x3A3;
    if (c == 0x3AC)
        return 0x386;
    if (c >= 0x3AD && c <= 0x3AF)
        return shifted(-37);
    if (c == 0x3CC)
        return 0x38C;
    if (c == 0x3CD || c == 0x3CE)
        return shifted(-63);
    if (c >= 0x430 && c <= 0x44F) // Cyrillic
        return shifted(-32);
    if (c >= 0x450 && c <= 0x45F)
        return shifted(-80);
    if (c >= 0xFF41 && c <= 0xFF5A) // full-width a..z
        return shifted(-32);
    return c;
}

// What a name is sorted by: its folded form, then its own code units, then
// its bytes (two byte strings that are not UTF-8 may read the same).
struct ListingKey {
    std::u16string folded;
    std::u16string units;
    std::string_view bytes;

    explicit ListingKey(std::string_view name) : units(Utf16FromUtf8(name)), bytes(name)
    {
        folded = units;
        for (char16_t &c : folded)
            c = UpperUnit(c);
    }

    bool operator<(const ListingKey &other) const
    {
        return std::tie(folded, units, bytes) < std::tie(other.folded, other.units, other.bytes);
    }
};

} // namespace

bool NameListedBefore(std::string_view a, std::string_view b)
{
    return ListingKey(a) < ListingKey(b);
}

void SortAsListed(std::vector<std::string> &names)
{
    // ASCII names, as a store's mostly are, sort by their upper-case bytes
    // and then their own: the same order as their UTF-16 keys, without them.
    const auto ascii = [](const std::string &name) {
        return std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    };
    if (std::all_of(names.begin(), names.end(), ascii)) {
        const auto upper = [](char c) { return UpperUnit(static_cast<unsigned char>(c)); };
        std::sort(names.begin(), names.end(), [&upper](const std::string &a, const std::string &b) {
            const auto differ = std::mismatch(a.begin(), a.end(), b.begin(), b.end(),
                                              [&upper](char x, char y) { return upper(x) == upper(y); });
            if (differ.first != a.end() && differ.second != b.end())
                return upper(*differ.first) < upper(*differ.second);
            if (a.size() != b.size())
                return a.size() < b.size();
            return a < b;
        });
        return;
    }
    // Each name's key is made once, not at every comparison.
    std::vector<ListingKey> keys;
    keys.reserve(names.size());
    for (const std::string &name : names)
        keys.emplace_back(name);
    std::vector<std::size_t> order(names.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&keys](std::size_t x, std::size_t y) { return keys[x] < keys[y]; });
    std::vector<std::string> sorted;
    sorted.reserve(names.size());
    for (const std::size_t i : order)
        sorted.push_back(std::move(names[i]));
    names = std::move(sorted);
}

std::shared_ptr<FileSystemService> MakeRealFileSystem(std::function<void()> yield)
{
    return std::make_shared<RealFileSystem>(std::move(yield));
}

pathLogger::pathLogger(std::shared_ptr<FileSystemService> fileSystem, YieldFunction yield)
    : m_fileSystem(fileSystem ? std::move(fileSystem) : MakeRealFileSystem(yield)), m_yield(std::move(yield))
{
}

void pathLogger::setYield(YieldFunction yield)
{
    m_yield = std::move(yield);
}

void pathLogger::DoYield() const
{
    if (m_yield)
        m_yield();
}

void pathLogger::Release()
{
    m_fileNames.reset();
    m_pathPointers.reset();
    m_pathNames.reset();
    m_fullFileNames.reset();
    m_skipped.clear();
    m_unusable.clear();
}

void pathLogger::PathLogInit()
{
    DoYield();
    m_fullFileNamesOnly = true;
    Release();
}

void pathLogger::Terminate()
{
    DoYield();
    Release();
}

std::string pathLogger::AddBackslash(const std::string &path)
{
    if (!path.empty() && path.back() == kSeparator)
        return path;
    return path + kSeparator;
}

namespace {

// A released list comes back as a new, empty one.
template <typename List>
std::shared_ptr<List> Held(std::shared_ptr<List> &slot)
{
    if (!slot)
        slot = std::make_shared<List>();
    return slot;
}

} // namespace

std::shared_ptr<TextList> pathLogger::fileNames()
{
    return Held(m_fileNames);
}

std::shared_ptr<TextList> pathLogger::pathNames()
{
    return Held(m_pathNames);
}

std::shared_ptr<NumberList> pathLogger::pathPointers()
{
    return Held(m_pathPointers);
}

std::shared_ptr<TextList> pathLogger::fullFileNames()
{
    return Held(m_fullFileNames);
}

void pathLogger::Skip(const std::string &folder, const FolderListing &listing)
{
    m_skipped.push_back(
        {folder, listing.errorCode, listing.error.empty() ? std::string("cannot list folder") : listing.error});
}

void pathLogger::LogPath(const std::string &strPARENT)
{
    if (!m_fileSystem->FolderExists(strPARENT))
        return;
    DoYield();

    // A walker that has walked before starts from new lists, so keys never
    // clash, and reports only this walk's skipped folders and entries; lists
    // handed out earlier keep what they hold.
    if ((m_pathNames && !m_pathNames->Empty()) || (m_fullFileNames && !m_fullFileNames->Empty()))
        Release();
    m_skipped.clear();
    m_unusable.clear();

    // The walk fills the lists it started with, even if code run during a
    // yield releases them; the mode is fixed for the whole walk as well.
    const bool fullOnly = m_fullFileNamesOnly;
    const std::shared_ptr<TextList> folders = pathNames();
    const std::shared_ptr<TextList> fullNames = fullFileNames();
    const std::shared_ptr<TextList> names = fullOnly ? nullptr : fileNames();
    const std::shared_ptr<NumberList> pointers = fullOnly ? nullptr : pathPointers();

    std::int32_t queued = 1;
    std::int32_t position = 1;
    m_count = 1;

    // Identities of every folder queued so far: a folder reached again
    // through a link is not entered a second time.
    std::set<std::string> seen;
    const std::string start = AddBackslash(strPARENT);
    if (auto id = m_fileSystem->FolderIdentity(start))
        seen.insert(*id);
    folders->AddUnique(start, Key(0));
    DoYield();

    while (position <= queued) {
        const std::string folder = folders->Item(static_cast<std::size_t>(position));
        const FolderListing subfolders = m_fileSystem->ListSubfolders(folder);
        if (subfolders.failed) {
            Skip(folder, subfolders);
        } else {
            for (const std::string &name : subfolders.names) {
                DoYield();
                const std::string child = folder + name + kSeparator;
                if (auto id = m_fileSystem->FolderIdentity(child); id && !seen.insert(*id).second)
                    continue;
                ++queued;
                folders->AddUnique(child, Key(queued));
            }
        }

        DoYield();
        // A folder whose subfolders could not be listed is not opened again.
        const FolderListing files = subfolders.failed ? FolderListing{} : m_fileSystem->ListFiles(folder);
        DoYield();
        if (files.failed)
            Skip(folder, files);
        for (const UnusableEntry &entry : files.unusable)
            m_unusable.push_back({folder + entry.name, entry.errorCode, entry.reason});
        for (const std::string &name : files.names) {
            const std::string key = Key(m_count);
            if (!fullOnly) {
                names->AddUnique(name, key);
                pointers->AddUnique(position, key);
            }
            fullNames->AddUnique(folder + name, key);
            ++m_count;
            DoYield();
        }

        DoYield();
        ++position;
        DoYield();
    }
}

} // namespace tovaly
