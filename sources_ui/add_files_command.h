#pragma once
// The add-files command: replaces the source list with the message files
// picked in the file-open dialog.

#include "source_file_list.h"

#include <QChar>
#include <QString>
#include <QStringList>

class QWidget;

namespace tovaly {

class UserInteraction;

/// The one name filter of the file-open dialog.
inline constexpr char16_t kMessageFileFilter[] = u"Opera Mail Messages (*.mbs)";

/// The dialog's answer as one text, the way a multiple-selection open dialog
/// gives it: nothing picked gives the empty text; one file its full path;
/// several files of one folder the folder, then each bare name, separated by
/// NUL. Files from different folders keep their full paths, after an empty
/// folder part: NUL path NUL path ... Paths are in native form.
[[nodiscard]] QString SelectionTextFor(const QStringList &pickedPaths);

/// The full paths a selection text names, in its order. A text not ending in
/// NUL gets one; it is split at every NUL. With more than one name the first
/// part is the folder, which gets `separator` unless it already ends with
/// it (a drive root such as "C:\" does), and every later part but the
/// trailing empty one is that folder followed by the name. An empty folder
/// part means the names are full paths already. Empty text gives no paths.
[[nodiscard]] QStringList PathsFromSelectionText(const QString &selectionText, QChar separator);

/// Everything the add-files command works on.
struct AddFilesContext {
    SourceFileList *list = nullptr;
    UserInteraction *interaction = nullptr;
    QWidget *owner = nullptr;  ///< the window; owner of the dialogs
    CommandHooks hooks{};      ///< the convert button and the busy state
    EventPump *pump = nullptr; ///< the window's event pump
};

/// The command behind `cmdAdd`: shows the file-open dialog; a cancel ends it
/// with nothing changed. Once files were picked it clears the list, enables
/// the convert button and appends every picked file in the dialog's order,
/// yielding between them, as one busy command. Any failure on the way stops
/// the command with a warning "<code>:<description>" titled with the
/// application title; rows added before it stay. No picked file is ever
/// dropped: the dialog has no size limit.
void RunAddFilesCommand(const AddFilesContext &context);

} // namespace tovaly
