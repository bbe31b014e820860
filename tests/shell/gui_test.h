#pragma once
// The QApplication of a GUI test process, created once before the first
// widget of the first test.

#include <QApplication>
#include <gtest/gtest.h>

namespace tovaly::testing {

/// Creates the one QApplication of the process on first use. It is never
/// destroyed: at exit it would outlive input devices Qt's test functions
/// keep in statics of their own.
inline QApplication &GuiApplication()
{
    static int argc = 1;
    static char name[] = "tovaly-test";
    static char *argv[] = {name, nullptr};
    static QApplication *application = [] {
        // Headless unless the caller chose a platform.
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *application;
}

/// Base of test fixtures that hold widgets as members: the application
/// exists before they are constructed.
class GuiTest : public ::testing::Test {
protected:
    GuiTest() { (void)GuiApplication(); }
};

} // namespace tovaly::testing
