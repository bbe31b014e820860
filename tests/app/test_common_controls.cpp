#include "common_controls.h"
#include "frm_step1.h"
#include "gui_test.h"
#include "scripted_interaction.h"

#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <gtest/gtest.h>

namespace tovaly {
namespace {

TEST(NativeStyleName, PrefersThePlatformsOwnStyle)
{
    const QStringList windows{QStringLiteral("windowsvista"), QStringLiteral("Windows"), QStringLiteral("Fusion")};
    EXPECT_EQ(NativeStyleName(windows, QStringLiteral("windows")), QStringLiteral("windowsvista"));
    EXPECT_EQ(NativeStyleName({QStringLiteral("macOS"), QStringLiteral("Fusion")}, QStringLiteral("fusion")),
              QStringLiteral("macos"));
}

TEST(NativeStyleName, KeepsTheThemesStyleButNeverTheClassicLook)
{
    const QStringList linux{QStringLiteral("Breeze"), QStringLiteral("Windows"), QStringLiteral("Fusion")};
    EXPECT_EQ(NativeStyleName(linux, QStringLiteral("breeze")), QStringLiteral("breeze"));
    EXPECT_EQ(NativeStyleName(linux, QStringLiteral("windows")), QStringLiteral("fusion"));
    EXPECT_EQ(NativeStyleName(linux, QString()), QStringLiteral("fusion"));
    EXPECT_EQ(NativeStyleName(linux, QStringLiteral("gone")), QStringLiteral("fusion"));
}

TEST(InitCommonControls, TheWindowSetsUpTheNativeStyleFirst)
{
    (void)tovaly::testing::GuiApplication();
    QApplication::setStyle(QStringLiteral("Windows")); // the classic look
    ASSERT_FALSE(CommonControlsInitialised());

    tovaly::testing::ScriptedInteraction interaction;
    FrmStep1 window({.interaction = &interaction});
    EXPECT_TRUE(CommonControlsInitialised());
    EXPECT_NE(QApplication::style()->name(), QStringLiteral("windows"));
    EXPECT_EQ(QApplication::style()->name(), NativeStyleName(QStyleFactory::keys(), QApplication::style()->name()));
    EXPECT_EQ(window.Controls().cmdAdd->style(), QApplication::style());

    const QStyle *before = QApplication::style();
    InitCommonControls();
    EXPECT_EQ(QApplication::style(), before); // a second call changes nothing
}

} // namespace
} // namespace tovaly
