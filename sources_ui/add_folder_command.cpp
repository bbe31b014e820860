#include "add_folder_command.h"

#include "application_title.h"
#include "core_path.h"
#include "mbs_filter.h"
#include "user_interaction.h"

#include <QDir>
#include <QGuiApplication>
#include <QWidget>

#include <exception>
#include <string>

namespace tovaly {

namespace {

// The busy pointer for the life of one scan.
class BusyPointer {
public:
    BusyPointer() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyPointer() { QGuiApplication::restoreOverrideCursor(); }
    BusyPointer(const BusyPointer &) = delete;
    BusyPointer &operator=(const BusyPointer &) = delete;
};

struct ScanResult {
    int added = 0;                 ///< files found, listed already or not
    std::size_t alreadyListed = 0; ///< of them, those the list held already
    std::size_t unreadableFolders = 0;
    QStringList notAdded; ///< "<path>: <reason>" per folder or entry left out
};

std::string WithSeparator(std::string folder)
{
    const char separator = QDir::separator().toLatin1();
    if (!folder.ends_with(separator))
        folder += separator;
    return folder;
}

// Lists `path`, found by a scan or dropped, unless it is listed already.
void Take(const AddFolderContext &context, const std::string &path, ScanResult &result)
{
    ++result.added;
    if (!context.list->AddFileToList(path))
        ++result.alreadyListed;
}

// Scans `folder` (ending in a separator) and appends its message files.
void AddTree(const AddFolderContext &context, const std::shared_ptr<FileSystemService> &fileSystem,
             const std::string &folder, ScanResult &result)
{
    EventPump &pump = *context.pump;
    pump.Yield();
    const MbsFolderScan scan = ScanFolderForMbsFiles(folder, fileSystem, [&pump] { pump.Yield(); });
    pump.Yield();
    result.unreadableFolders += scan.skippedFolders.size();
    for (const SkippedFolder &skipped : scan.skippedFolders)
        result.notAdded << FromCore(skipped.path) + QStringLiteral(": cannot list folder: ") + FromCore(skipped.reason);
    for (const SkippedPath &skipped : scan.skippedEntries)
        result.notAdded << FromCore(skipped.path) + QStringLiteral(": ") + FromCore(skipped.reason);
    for (const std::string &path : scan.files) {
        pump.Yield();
        Take(context, path, result);
    }
}

// The summary box: a plain notice, or a warning whose details name what
// could not be added.
void ShowSummary(const AddFolderContext &context, const ScanResult &result)
{
    const std::size_t entries = static_cast<std::size_t>(result.notAdded.size()) - result.unreadableFolders;
    const QString text = FilesAddedText(result.added, result.unreadableFolders, entries, result.alreadyListed);
    if (result.notAdded.isEmpty())
        context.interaction->Notify(context.owner, ApplicationTitle(), text);
    else
        context.interaction->WarnWithDetails(context.owner, ApplicationTitle(), text,
                                             result.notAdded.join(QLatin1Char('\n')));
}

void EnableConvert(const AddFolderContext &context, bool enabled)
{
    if (context.hooks.enableConvert)
        context.hooks.enableConvert(enabled);
}

// Runs `add` with the window busy, the pointer waiting and the list drawn
// once at the end, then enables Convert when files were added (with
// `convertFollowsResult`, disables it when none were) and shows what was
// added. A failure is said in a box; what was added before it still enables
// Convert.
template <typename Add>
void AddAndSummarise(const AddFolderContext &context, bool convertFollowsResult, Add add)
{
    ScanResult result;
    try {
        {
            const BusyScope busy(context.hooks);
            const BusyPointer pointer;
            const SourceFileList::Batch batch(*context.list);
            add(result);
        }
        if (convertFollowsResult || result.added > 0)
            EnableConvert(context, result.added > 0);
        ShowSummary(context, result);
        return;
    } catch (const std::exception &) {
        context.interaction->Warn(context.owner, ApplicationTitle(), CurrentFailureText());
    }
    if (result.added > 0)
        EnableConvert(context, true);
}

} // namespace

QString FilesAddedText(int found, std::size_t unreadableFolders, std::size_t unusableEntries, std::size_t alreadyListed)
{
    QString text = QString::number(found) + QStringLiteral(" Files Added to List.");
    if (alreadyListed == 1)
        text += QStringLiteral("\r\n1 was already in the list.");
    else if (alreadyListed > 1)
        text += QStringLiteral("\r\n%1 were already in the list.").arg(alreadyListed);
    if (unreadableFolders == 1)
        text += QStringLiteral("\r\n1 folder could not be read.");
    else if (unreadableFolders > 1)
        text += QStringLiteral("\r\n%1 folders could not be read.").arg(unreadableFolders);
    if (unusableEntries == 1)
        text += QStringLiteral("\r\n1 entry could not be added.");
    else if (unusableEntries > 1)
        text += QStringLiteral("\r\n%1 entries could not be added.").arg(unusableEntries);
    return text;
}

void RunAddFolderCommand(const AddFolderContext &context)
{
    const QString picked =
        context.interaction->BrowseForFolder(context.owner, QStringLiteral("Choose Source Folder..."));
    if (picked.isEmpty())
        return;

    AddAndSummarise(context, true, [&](ScanResult &result) {
        AddTree(context, context.fileSystem, WithSeparator(ToCore(picked)), result);
    });
}

void RunAddPathsCommand(const AddFolderContext &context, const QStringList &paths)
{
    std::vector<std::string> corePaths;
    corePaths.reserve(static_cast<std::size_t>(paths.size()));
    for (const QString &path : paths)
        corePaths.push_back(ToCore(path));
    RunAddPathsCommand(context, corePaths);
}

void RunAddPathsCommand(const AddFolderContext &context, const std::vector<std::string> &paths)
{
    if (paths.empty())
        return;
    const std::shared_ptr<FileSystemService> fileSystem =
        context.fileSystem ? context.fileSystem : MakeRealFileSystem([&pump = *context.pump] { pump.Yield(); });
    AddAndSummarise(context, false, [&](ScanResult &result) {
        for (const std::string &path : paths) {
            context.pump->Yield();
            if (fileSystem->FolderExists(path))
                AddTree(context, fileSystem, WithSeparator(path), result);
            else if (HasMbsExtension(path))
                Take(context, path, result);
        }
    });
}

} // namespace tovaly
