#include "add_files_command.h"

#include "application_title.h"
#include "user_interaction.h"

#include <QDir>
#include <QFileInfo>
#include <QWidget>

#include <exception>

namespace tovaly {

namespace {

constexpr QChar kNul(u'\0');

struct SplitSelection {
    QStringList paths;
    bool folderFirst = false; // part 0 names the folder, not a file
};

SplitSelection Split(const QString &selectionText, QChar separator)
{
    SplitSelection result;
    if (selectionText.isEmpty())
        return result;
    QString text = selectionText;
    if (!text.endsWith(kNul))
        text += kNul;
    const QStringList parts = text.split(kNul, Qt::KeepEmptyParts);
    const qsizetype highest = parts.size() - 1;

    result.folderFirst = highest > 1;
    QString prefix;
    if (result.folderFirst && !parts.front().isEmpty()) {
        prefix = parts.front();
        if (!prefix.endsWith(separator))
            prefix += separator;
    }
    for (qsizetype i = result.folderFirst ? 1 : 0; i < highest; ++i)
        result.paths << prefix + parts.at(i);
    return result;
}

} // namespace

QString SelectionTextFor(const QStringList &pickedPaths)
{
    if (pickedPaths.isEmpty())
        return {};
    if (pickedPaths.size() == 1)
        return QDir::toNativeSeparators(pickedPaths.front());

    const QString folder = QFileInfo(pickedPaths.front()).path();
    bool oneFolder = true;
    for (const QString &path : pickedPaths)
        oneFolder = oneFolder && QFileInfo(path).path() == folder;

    QStringList parts;
    if (oneFolder) {
        parts << QDir::toNativeSeparators(folder);
        for (const QString &path : pickedPaths)
            parts << QFileInfo(path).fileName();
    } else {
        parts << QString();
        for (const QString &path : pickedPaths)
            parts << QDir::toNativeSeparators(path);
    }
    return parts.join(kNul);
}

QStringList PathsFromSelectionText(const QString &selectionText, QChar separator)
{
    return Split(selectionText, separator).paths;
}

void RunAddFilesCommand(const AddFilesContext &context)
{
    EventPump &pump = *context.pump;
    try {
        const QString selection = SelectionTextFor(
            context.interaction->PickMessageFiles(context.owner, QString::fromUtf16(kMessageFileFilter)));
        pump.Yield();
        // The list is replaced only once files were picked: a cancel keeps it.
        if (selection.isEmpty())
            return;

        const BusyScope busy(context.hooks);
        const SourceFileList::Batch batch(*context.list);
        context.list->ClearFileList();
        pump.Yield();
        if (context.hooks.enableConvert)
            context.hooks.enableConvert(true);

        const SplitSelection split = Split(selection, QDir::separator());
        if (split.folderFirst) {
            // The folder part of a multiple selection: after the prefix is
            // worked out, and for the folder element itself.
            pump.Yield();
            pump.Yield();
        }
        for (const QString &path : split.paths) {
            context.list->AddFileToList(path);
            pump.Yield();
            pump.Yield();
        }
    } catch (const std::exception &) {
        context.interaction->Warn(context.owner, ApplicationTitle(), CurrentFailureText());
    }
}

} // namespace tovaly
