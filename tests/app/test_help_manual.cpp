#include "help_manual.h"

#include <QDir>
#include <QFile>
#include <QUrl>
#include <gtest/gtest.h>

namespace tovaly {
namespace {

TEST(HelpManual, AddressIsTheAbsoluteFileUrlBesideTheExecutable)
{
    const QString folder = QDir::rootPath() + QStringLiteral("opt/Tovaly Converter/bin");
    const QUrl address(HelpManualAddress(folder));
    EXPECT_TRUE(address.isValid());
    EXPECT_TRUE(address.isLocalFile());
    EXPECT_EQ(address.toLocalFile(), folder + QStringLiteral("/manual.html"));
    EXPECT_TRUE(HelpManualAddress(folder).startsWith(QStringLiteral("file:///")));
    EXPECT_FALSE(HelpManualAddress(folder).contains(QLatin1Char(' '))); // encoded
}

TEST(HelpManual, TheFailureSaysWhereTheManualIs)
{
    const QString folder = QDir::rootPath() + QStringLiteral("opt/Tovaly Converter/bin");
    EXPECT_EQ(HelpManualFailureText(HelpManualAddress(folder)),
              QStringLiteral("The help manual could not be opened.\r\nIt is at: ") +
                  QDir::toNativeSeparators(folder + QStringLiteral("/manual.html"))); // decoded, not %20
    EXPECT_EQ(HelpManualFailureText(QStringLiteral("https://example.org/help")),
              QStringLiteral("The help manual could not be opened.\r\nIt is at: https://example.org/help"));
}

TEST(HelpManual, TheBuildPutsTheManualBesideTheExecutable)
{
    QFile shipped(QStringLiteral(TOVALY_APP_BINARY_DIR "/manual.html"));
    QFile source(QStringLiteral(TOVALY_DOCS_DIR "/manual.html"));
    ASSERT_TRUE(shipped.open(QIODevice::ReadOnly));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray bytes = shipped.readAll();
    EXPECT_EQ(bytes, source.readAll());

    const QString html = QString::fromUtf8(bytes);
    for (const char *topic : {"Apple Mail", "Thunderbird", "Export Completed Successfully !", "inbox.mbox",
                              "Add MBS File(s)...", "Add Folder having MBS File(s)..."})
        EXPECT_TRUE(html.contains(QString::fromUtf8(topic))) << topic;
}

} // namespace
} // namespace tovaly
