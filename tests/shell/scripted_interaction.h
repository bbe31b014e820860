#pragma once
// A UserInteraction for tests: records every request and answers from queues
// filled by the test. An unexpected question fails the test.

#include "user_interaction.h"

#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace tovaly::testing {

struct Message {
    enum class Kind { Question, Warning, Information, Notice };
    Kind kind;
    QString title;
    QString text;
    QString details{}; ///< the details of a warning that has them
};

class ScriptedInteraction final : public UserInteraction {
public:
    std::deque<Answer> answers;
    std::deque<QStringList> pickedFiles;
    std::deque<QString> folders;
    /// When set, PickMessageFiles runs it instead of answering (to throw, or
    /// to look at the window while the dialog would be open).
    std::function<QStringList()> onPickFiles;
    /// What OpenAddress answers: whether the desktop took the address.
    bool addressesOpen = true;

    std::vector<Message> messages;
    QStringList filters;
    QStringList folderTitles;
    QStringList openedAddresses;

    Answer Ask(QWidget *, const QString &title, const QString &text) override
    {
        messages.push_back({Message::Kind::Question, title, text});
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << text.toStdString();
            return Answer::No;
        }
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void Warn(QWidget *, const QString &title, const QString &text) override
    {
        messages.push_back({Message::Kind::Warning, title, text});
    }
    void WarnWithDetails(QWidget *, const QString &title, const QString &text, const QString &details) override
    {
        messages.push_back({Message::Kind::Warning, title, text, details});
    }
    void Inform(QWidget *, const QString &title, const QString &text) override
    {
        messages.push_back({Message::Kind::Information, title, text});
    }
    void Notify(QWidget *, const QString &title, const QString &text) override
    {
        messages.push_back({Message::Kind::Notice, title, text});
    }
    QString BrowseForFolder(QWidget *, const QString &title) override
    {
        folderTitles << title;
        if (folders.empty())
            return {};
        QString folder = folders.front();
        folders.pop_front();
        return folder;
    }
    QStringList PickMessageFiles(QWidget *, const QString &filter) override
    {
        filters << filter;
        if (onPickFiles)
            return onPickFiles();
        if (pickedFiles.empty())
            return {};
        QStringList files = pickedFiles.front();
        pickedFiles.pop_front();
        return files;
    }
    bool OpenAddress(const QString &target) override
    {
        openedAddresses << target;
        return addressesOpen;
    }

    [[nodiscard]] std::size_t QuestionCount() const
    {
        std::size_t count = 0;
        for (const Message &message : messages)
            count += message.kind == Message::Kind::Question ? 1 : 0;
        return count;
    }
};

} // namespace tovaly::testing
