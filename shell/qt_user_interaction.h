#pragma once
// The program's UserInteraction: Qt message boxes, the directory picker, the
// file-open dialog and the desktop's open action.

#include "user_interaction.h"

#include <QFileDialog>
#include <QMessageBox>

#include <memory>

namespace tovaly {

class QtUserInteraction final : public UserInteraction {
public:
    [[nodiscard]] Answer Ask(QWidget *owner, const QString &title, const QString &text) override;
    void Warn(QWidget *owner, const QString &title, const QString &text) override;
    void WarnWithDetails(QWidget *owner, const QString &title, const QString &text, const QString &details) override;
    void Inform(QWidget *owner, const QString &title, const QString &text) override;
    void Notify(QWidget *owner, const QString &title, const QString &text) override;
    [[nodiscard]] QString BrowseForFolder(QWidget *owner, const QString &title) override;
    [[nodiscard]] QStringList PickMessageFiles(QWidget *owner, const QString &filter) override;
    [[nodiscard]] bool OpenAddress(const QString &target) override;
};

/// The question box Ask shows: Yes and No, Yes the default, question icon.
[[nodiscard]] std::unique_ptr<QMessageBox> MakeQuestionBox(QWidget *owner, const QString &title, const QString &text);

/// A box with an OK button only and `icon` (Warning, Information or NoIcon).
[[nodiscard]] std::unique_ptr<QMessageBox> MakeMessageBox(QWidget *owner, QMessageBox::Icon icon, const QString &title,
                                                          const QString &text);

/// The warning WarnWithDetails shows: `text` in the box, `details` behind
/// its "Show Details..." button.
[[nodiscard]] std::unique_ptr<QMessageBox> MakeDetailedWarningBox(QWidget *owner, const QString &title,
                                                                  const QString &text, const QString &details);

/// The file-open dialog PickMessageFiles shows: existing files, several at
/// once, the one name filter given, no preset name or title.
[[nodiscard]] std::unique_ptr<QFileDialog> MakeMessageFileDialog(QWidget *owner, const QString &filter);

} // namespace tovaly
