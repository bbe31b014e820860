#pragma once
// Every modal exchange with the user goes through UserInteraction: message
// boxes, the folder picker, the file-open dialog and opening an address. The
// window is given one; the program passes the Qt dialogs (QtUserInteraction),
// tests pass a scripted one.

#include <QString>
#include <QStringList>

#include <stdexcept>

class QWidget;

namespace tovaly {

/// A failure of an interaction or of a command step, with a numeric code and
/// a description, reported to the user as "<code>:<description>".
class CommandFailure : public std::runtime_error {
public:
    CommandFailure(int code, const QString &description)
        : std::runtime_error(description.toStdString()), m_code(code), m_description(description)
    {
    }

    [[nodiscard]] int Code() const { return m_code; }
    [[nodiscard]] const QString &Description() const { return m_description; }

private:
    int m_code;
    QString m_description;
};

/// "<code>:<description>" for the exception being handled (call it inside a
/// catch block): a CommandFailure's own code and description, 7 for running
/// out of memory, 51 with the exception's text for anything else.
[[nodiscard]] QString CurrentFailureText();

/// The modal interactions of the window. Each call returns when the user has
/// answered; `owner` is the window the dialog belongs to.
class UserInteraction {
public:
    enum class Answer { Yes, No };

    virtual ~UserInteraction() = default;

    /// A question with Yes and No buttons and the question icon; Yes is the
    /// default button. Anything but Yes counts as No.
    [[nodiscard]] virtual Answer Ask(QWidget *owner, const QString &title, const QString &text) = 0;
    /// A warning with an OK button and the exclamation icon.
    virtual void Warn(QWidget *owner, const QString &title, const QString &text) = 0;
    /// A warning as above that also holds `details`, a longer text the user
    /// can show, select and copy (a message box's "Show Details...").
    virtual void WarnWithDetails(QWidget *owner, const QString &title, const QString &text, const QString &details) = 0;
    /// A message with an OK button and the information icon.
    virtual void Inform(QWidget *owner, const QString &title, const QString &text) = 0;
    /// A message with an OK button and no icon.
    virtual void Notify(QWidget *owner, const QString &title, const QString &text) = 0;
    /// The folder picker: the chosen folder's path, or the empty text for
    /// every way of not choosing one.
    [[nodiscard]] virtual QString BrowseForFolder(QWidget *owner, const QString &title) = 0;
    /// The file-open dialog with one name filter such as
    /// "Opera Mail Messages (*.mbs)", allowing several files: the full paths
    /// of the picked files in the dialog's order, none when cancelled.
    [[nodiscard]] virtual QStringList PickMessageFiles(QWidget *owner, const QString &filter) = 0;
    /// Opens a document path or web address with the user's default
    /// application. False when that could not be done (a file that is not
    /// there, no application to hand it to); true says only that it was
    /// handed on.
    [[nodiscard]] virtual bool OpenAddress(const QString &target) = 0;
};

} // namespace tovaly
