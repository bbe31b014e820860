#include "add_folder_command.h"

#include "application_title.h"
#include "mbs_filter.h"
#include "path_logger.h"
#include "user_interaction.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QWidget>

#include <exception>
#include <string>

namespace tovaly {

namespace {


void Pump(const Yield &yield)
{
    if (yield)
        yield();
}

// The busy pointer for the life of one scan.
class BusyPointer {
public:
    BusyPointer() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyPointer() { QGuiApplication::restoreOverrideCursor(); }
    BusyPointer(const BusyPointer &) = delete;
    BusyPointer &operator=(const BusyPointer &) = delete;
};

} // namespace

QString FilesAddedText(int added, std::size_t unreadableFolders)
{
    QString text = QString::number(added) + QStringLiteral(" Files Added to List.");
    if (unreadableFolders == 1)
        text += QStringLiteral("\r\n1 folder could not be read.");
    else if (unreadableFolders > 1)
        text += QStringLiteral("\r\n%1 folders could not be read.").arg(unreadableFolders);
    return text;
}

void RunAddFolderCommand(const AddFolderContext &context)
{
    QString folder = context.interaction->BrowseForFolder(context.owner, QStringLiteral("Choose Source Folder..."));
    if (folder.isEmpty())
        return;
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();

    int added = 0;
    try {
        std::size_t unreadable = 0;
        {
            BusyPointer busy;
            pathLogger walker(context.fileSystem, context.yield);
            Pump(context.yield);
            walker.PathLogInit();
            walker.setFullFileNamesOnly(true);
            walker.LogPath(QFile::encodeName(folder).toStdString());
            Pump(context.yield);
            const auto found = walker.fullFileNames();
            unreadable = walker.skippedFolders().size();
            walker.Terminate();

            for (const std::string &path : *found) {
                Pump(context.yield);
                if (!HasMbsExtension(path))
                    continue;
                Pump(context.yield);
                context.list->AddFileToList(QFile::decodeName(QByteArray::fromStdString(path)));
                ++added;
            }
        }
        if (context.convertButton != nullptr)
            context.convertButton->setEnabled(added > 0);
        context.interaction->Notify(context.owner, ApplicationTitle(), FilesAddedText(added, unreadable));
        return;
    } catch (const std::exception &) {
        context.interaction->Warn(context.owner, ApplicationTitle(), CurrentFailureText());
    }
    if (added > 0 && context.convertButton != nullptr)
        context.convertButton->setEnabled(true);
}

} // namespace tovaly
