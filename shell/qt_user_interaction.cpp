#include "qt_user_interaction.h"

#include "browse_for_folder.h"
#include "shell_open.h"

namespace tovaly {

std::unique_ptr<QMessageBox> MakeQuestionBox(QWidget *owner, const QString &title, const QString &text)
{
    auto box =
        std::make_unique<QMessageBox>(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, owner);
    box->setTextFormat(Qt::PlainText);
    box->setDefaultButton(QMessageBox::Yes);
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget *owner, QMessageBox::Icon icon, const QString &title,
                                            const QString &text)
{
    auto box = std::make_unique<QMessageBox>(icon, title, text, QMessageBox::Ok, owner);
    box->setTextFormat(Qt::PlainText);
    box->setDefaultButton(QMessageBox::Ok);
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}

std::unique_ptr<QMessageBox> MakeDetailedWarningBox(QWidget *owner, const QString &title, const QString &text,
                                                    const QString &details)
{
    auto box = MakeMessageBox(owner, QMessageBox::Warning, title, text);
    box->setDetailedText(details);
    return box;
}

std::unique_ptr<QFileDialog> MakeMessageFileDialog(QWidget *owner, const QString &filter)
{
    auto dialog = std::make_unique<QFileDialog>(owner);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setNameFilter(filter);
    dialog->setWindowModality(Qt::ApplicationModal);
    return dialog;
}

UserInteraction::Answer QtUserInteraction::Ask(QWidget *owner, const QString &title, const QString &text)
{
    const auto box = MakeQuestionBox(owner, title, text);
    box->exec();
    return box->clickedButton() == box->button(QMessageBox::Yes) ? Answer::Yes : Answer::No;
}

void QtUserInteraction::Warn(QWidget *owner, const QString &title, const QString &text)
{
    MakeMessageBox(owner, QMessageBox::Warning, title, text)->exec();
}

void QtUserInteraction::WarnWithDetails(QWidget *owner, const QString &title, const QString &text,
                                        const QString &details)
{
    MakeDetailedWarningBox(owner, title, text, details)->exec();
}

void QtUserInteraction::Inform(QWidget *owner, const QString &title, const QString &text)
{
    MakeMessageBox(owner, QMessageBox::Information, title, text)->exec();
}

void QtUserInteraction::Notify(QWidget *owner, const QString &title, const QString &text)
{
    MakeMessageBox(owner, QMessageBox::NoIcon, title, text)->exec();
}

QString QtUserInteraction::BrowseForFolder(QWidget *owner, const QString &title)
{
    return tovaly::BrowseForFolder(owner, title);
}

QStringList QtUserInteraction::PickMessageFiles(QWidget *owner, const QString &filter)
{
    const auto dialog = MakeMessageFileDialog(owner, filter);
    if (dialog->exec() != QDialog::Accepted)
        return {};
    return dialog->selectedFiles();
}

bool QtUserInteraction::OpenAddress(const QString &target)
{
    return ShellOpen(target);
}

} // namespace tovaly
