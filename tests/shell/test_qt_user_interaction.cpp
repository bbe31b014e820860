#include "gui_test.h"
#include "qt_user_interaction.h"
#include "scripted_interaction.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

namespace tovaly {
namespace {

using QtUserInteractionTest = tovaly::testing::GuiTest;

TEST_F(QtUserInteractionTest, QuestionHasYesAndNoWithYesTheDefault)
{
    const auto box = MakeQuestionBox(nullptr, QStringLiteral("Title"), QStringLiteral("Sure?"));
    EXPECT_EQ(box->icon(), QMessageBox::Question);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(static_cast<QAbstractButton *>(box->defaultButton()), box->button(QMessageBox::Yes));
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Title"));
    EXPECT_EQ(box->text(), QStringLiteral("Sure?"));
}

TEST_F(QtUserInteractionTest, MessagesHaveOnlyOkAndTheirIcon)
{
    for (const QMessageBox::Icon icon : {QMessageBox::Warning, QMessageBox::Information, QMessageBox::NoIcon}) {
        const auto box = MakeMessageBox(nullptr, icon, QStringLiteral("T"), QStringLiteral("<b>1:x</b>"));
        EXPECT_EQ(box->icon(), icon);
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        EXPECT_EQ(box->textFormat(), Qt::PlainText); // shown as written
    }
}

TEST_F(QtUserInteractionTest, ADetailedWarningKeepsItsSummaryInTheBoxAndEveryLineInTheDetails)
{
    const QString details = QStringLiteral("/m/a.mbs: gone\n/m/b.mbs: locked");
    const auto box = MakeDetailedWarningBox(nullptr, QStringLiteral("T"),
                                            QStringLiteral("2 of 5 files could not be converted."), details);
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->text(), QStringLiteral("2 of 5 files could not be converted."));
    EXPECT_EQ(box->detailedText(), details);
    EXPECT_EQ(box->windowTitle(), QStringLiteral("T"));
    // OK, and the button that shows the details.
    EXPECT_NE(box->button(QMessageBox::Ok), nullptr);
    bool hasDetailsButton = false;
    for (QAbstractButton *button : box->buttons())
        hasDetailsButton = hasDetailsButton || box->buttonRole(button) == QMessageBox::ActionRole;
    EXPECT_TRUE(hasDetailsButton);
}

TEST_F(QtUserInteractionTest, FileDialogPicksSeveralExistingMessageFiles)
{
    const auto dialog = MakeMessageFileDialog(nullptr, QStringLiteral("Opera Mail Messages (*.mbs)"));
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFiles);
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("Opera Mail Messages (*.mbs)")});
}

TEST_F(QtUserInteractionTest, AskAnswersYesOnlyForTheYesButton)
{
    QtUserInteraction interaction;
    const auto press = [](QMessageBox::StandardButton which) {
        QTimer::singleShot(0, qApp, [which] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            box->button(which)->click();
        });
    };
    press(QMessageBox::Yes);
    EXPECT_EQ(interaction.Ask(nullptr, QStringLiteral("T"), QStringLiteral("Q")), UserInteraction::Answer::Yes);
    press(QMessageBox::No);
    EXPECT_EQ(interaction.Ask(nullptr, QStringLiteral("T"), QStringLiteral("Q")), UserInteraction::Answer::No);
}

} // namespace
} // namespace tovaly
