#pragma once
// The add-folder command: appends the Opera message files found in a picked
// folder and every folder below it to the source list. Files and folders
// dropped on the list are added the same way.

#include "source_file_list.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace tovaly {

class FileSystemService;
class UserInteraction;

/// The summary box's text: "<found> Files Added to List.", followed, when
/// some of them were listed already, by a line such as "3 were already in
/// the list.", when folders could not be read, by one such as "2 folders
/// could not be read.", and when entries could not be added, by one such as
/// "3 entries could not be added." (CR LF between the lines).
[[nodiscard]] QString FilesAddedText(int found, std::size_t unreadableFolders, std::size_t unusableEntries = 0,
                                     std::size_t alreadyListed = 0);

/// Everything the add-folder command works on.
struct AddFolderContext {
    SourceFileList *list = nullptr;
    UserInteraction *interaction = nullptr;
    QWidget *owner = nullptr;  ///< the window; owner of the picker and the box
    CommandHooks hooks{};      ///< the convert button and the busy state
    EventPump *pump = nullptr; ///< the window's event pump
    /// The file system the walker lists; the real one when null.
    std::shared_ptr<FileSystemService> fileSystem{};
};

/// The command behind `CmdAddFolder`. Shows the folder picker "Choose Source
/// Folder..."; cancel ends it with nothing changed. Otherwise, as one busy
/// command under the busy pointer (both restored however it ends), scans
/// the folder (with a trailing separator) with ScanFolderForMbsFiles, the
/// scan the command line uses, appends every message file it finds that is
/// not listed yet, unchanged (the core's bytes) and in walk order, behind
/// the rows already listed, enables the convert button when files were
/// found and disables it when none were, and shows FilesAddedText in a box with an OK button, no icon and the
/// application title. Folders the scan could not list and entries it could
/// not use are counted in that box, which is then a warning whose details
/// give each one's path and reason, a line each. A failure on the way stops
/// the command with a warning "<code>:<description>"; rows added before it
/// stay.
void RunAddFolderCommand(const AddFolderContext &context);

/// Adds `paths` dropped on the list, in their order, behind the rows
/// already listed: a folder is walked like the add-folder command walks the
/// picked one, a file whose name HasMbsExtension accepts is added as it is,
/// anything else is left out. Then, like the add-folder command, the summary
/// box; the convert button is enabled when files were added and otherwise
/// left as it was. Nothing happens for an empty `paths`.
void RunAddPathsCommand(const AddFolderContext &context, const std::vector<std::string> &paths);
/// The same for paths as the window shows them (ToCore).
void RunAddPathsCommand(const AddFolderContext &context, const QStringList &paths);

} // namespace tovaly
