#include "source_file_list.h"

#include "gui_test.h"

#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>

#include <gtest/gtest.h>

#include <memory>

namespace tovaly {
namespace {

class SourceFileListTest : public tovaly::testing::GuiTest {
protected:
    void SetUp() override
    {
        list = std::make_unique<SourceFileList>(&grid, &count, [this] {
            ++yields;
            rowsAtYield = grid.rowCount();
        });
    }

    QStringList Rows() const
    {
        QStringList rows;
        for (int r = 0; r < list->RowCount(); ++r)
            rows << list->TextAt(r);
        return rows;
    }

    QTableWidget grid;
    QLabel count;
    int yields = 0;
    int rowsAtYield = -1;
    std::unique_ptr<SourceFileList> list;
};

TEST_F(SourceFileListTest, StartsAsOneEmptyReadOnlyRow)
{
    EXPECT_EQ(grid.rowCount(), 1);
    EXPECT_EQ(grid.columnCount(), 1);
    EXPECT_EQ(grid.columnWidth(0), 1000);
    EXPECT_TRUE(grid.horizontalHeader()->isHidden());
    EXPECT_TRUE(grid.verticalHeader()->isHidden());
    EXPECT_EQ(grid.editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_TRUE(list->IsEmpty());
    EXPECT_EQ(list->TextAt(0), QString());
    EXPECT_EQ(count.text(), QStringLiteral("0 files"));
}

TEST_F(SourceFileListTest, FirstPathFillsRowZeroAfterOneYieldThenRowsAreAppended)
{
    list->AddFileToList(QStringLiteral("C:\\Mail\\a.mbs"));
    EXPECT_EQ(yields, 1);
    EXPECT_EQ(rowsAtYield, 1);
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("C:\\Mail\\a.mbs")});
    EXPECT_EQ(count.text(), QStringLiteral("1 files"));

    // The same path twice fills two rows; spaces are stored as given.
    list->AddFileToList(QStringLiteral("C:\\Mail\\a.mbs"));
    list->AddFileToList(QStringLiteral("  C:\\Mail\\b.mbs "));
    EXPECT_EQ(yields, 1);
    EXPECT_EQ(Rows(), (QStringList{QStringLiteral("C:\\Mail\\a.mbs"), QStringLiteral("C:\\Mail\\a.mbs"),
                                   QStringLiteral("  C:\\Mail\\b.mbs ")}));
    EXPECT_EQ(count.text(), QStringLiteral("3 files"));
    EXPECT_EQ(grid.currentRow(), 2);
    EXPECT_EQ(grid.currentColumn(), 0);
    EXPECT_EQ(grid.item(2, 0)->flags() & Qt::ItemIsEditable, Qt::ItemFlags());
}

TEST_F(SourceFileListTest, ReaderTrimsSpacesOnly)
{
    list->AddFileToList(QStringLiteral("  /mail/a b.mbs\t "));
    EXPECT_EQ(list->PathAt(0), QStringLiteral("/mail/a b.mbs\t"));
    EXPECT_EQ(list->PathAt(5), QString());
    EXPECT_EQ(TrimSpaces(QStringLiteral("   ")), QString());
    EXPECT_EQ(TrimSpaces(QStringLiteral(" \nx\n ")), QStringLiteral("\nx\n"));
}

TEST_F(SourceFileListTest, ClearLeavesOneEmptyRowAndTheNextPathGoesIntoRowZero)
{
    list->AddFileToList(QStringLiteral("/mail/a.mbs"));
    list->AddFileToList(QStringLiteral("/mail/b.mbs"));
    list->ClearFileList();
    EXPECT_EQ(grid.rowCount(), 1);
    EXPECT_TRUE(list->IsEmpty());
    EXPECT_EQ(count.text(), QStringLiteral("0 files"));

    list->AddFileToList(QStringLiteral("/mail/c.mbs"));
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("/mail/c.mbs")});
    EXPECT_EQ(count.text(), QStringLiteral("1 files"));
    EXPECT_EQ(yields, 2);
}

} // namespace
} // namespace tovaly
