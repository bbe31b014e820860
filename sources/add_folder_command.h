#pragma once
// The add-folder command: appends the Opera message files found in a picked
// folder and every folder below it to the source list.

#include "source_file_list.h"

#include <QString>

#include <cstddef>
#include <memory>

class QWidget;

namespace tovaly {

class FileSystemService;
class UserInteraction;

/// The summary box's text: "<added> Files Added to List.", followed, when
/// folders could not be read, by a line such as "2 folders could not be
/// read." (CR LF between the lines).
[[nodiscard]] QString FilesAddedText(int added, std::size_t unreadableFolders);

/// Everything the add-folder command works on.
struct AddFolderContext {
    SourceFileList *list = nullptr;
    UserInteraction *interaction = nullptr;
    QWidget *owner = nullptr; ///< the window; owner of the picker and the box
    /// `CmdConvert2MBOX`; null leaves its state alone (while a conversion
    /// runs, which gives it back when it ends).
    QWidget *convertButton = nullptr;
    Yield yield; ///< the window's event pump
    /// The file system the walker lists; the real one when null.
    std::shared_ptr<FileSystemService> fileSystem;
};

/// The command behind `CmdAddFolder`. Shows the folder picker "Choose Source
/// Folder..."; cancel ends it with nothing changed. Otherwise, under the busy
/// pointer (restored however the command ends), walks the folder (with a
/// trailing separator) with a pathLogger, appends every walked path that
/// HasMbsExtension accepts, unchanged and in walk order, behind the rows
/// already listed, enables the convert button when files were added and
/// disables it when none were, and shows FilesAddedText in a box with an OK
/// button, no icon and the application title. Folders the walker could not
/// list are counted in that box. A failure on the way stops the command with
/// a warning "<code>:<description>"; rows added before it stay.
void RunAddFolderCommand(const AddFolderContext &context);

} // namespace tovaly
