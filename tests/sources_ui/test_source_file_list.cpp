#include "gui_test.h"
#include "source_file_list.h"

#include <QAbstractItemModel>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <gtest/gtest.h>

#include <memory>

namespace tovaly {
namespace {

class SourceFileListTest : public tovaly::testing::GuiTest {
protected:
    void SetUp() override { list = std::make_unique<SourceFileList>(&grid, &count, &pump); }

    QStringList Rows() const
    {
        QStringList rows;
        for (int r = 0; r < list->RowCount(); ++r)
            rows << list->TextAt(r);
        return rows;
    }

    // What the grid shows: its rows as its model gives them to it.
    QStringList GridRows() const
    {
        QStringList rows;
        const QAbstractItemModel *model = grid.model();
        for (int r = 0; r < model->rowCount(); ++r)
            rows << model->data(model->index(r, 0)).toString();
        return rows;
    }

    QTableView grid;
    QLabel count;
    int yields = 0;
    int rowsAtYield = -1;
    std::function<void()> onServe;
    // Every yield finds the window due: each one is seen.
    std::int64_t now = 0;
    EventPump pump{[this] {
                       ++yields;
                       rowsAtYield = grid.model()->rowCount();
                       if (onServe)
                           onServe();
                   },
                   [this] { return now += kServeIntervalMs; }};
    std::unique_ptr<SourceFileList> list;
};

TEST_F(SourceFileListTest, StartsAsOneEmptyReadOnlyRow)
{
    EXPECT_EQ(grid.model()->rowCount(), 1);
    EXPECT_EQ(grid.model()->columnCount(), 1);
    EXPECT_EQ(grid.columnWidth(0), 1000);
    EXPECT_TRUE(grid.horizontalHeader()->isHidden());
    EXPECT_TRUE(grid.verticalHeader()->isHidden());
    EXPECT_EQ(grid.editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_TRUE(list->IsEmpty());
    EXPECT_EQ(list->TextAt(0), QString());
    EXPECT_EQ(GridRows(), QStringList{QString()});
    EXPECT_EQ(count.text(), QStringLiteral("0 files"));
}

TEST_F(SourceFileListTest, FirstPathFillsRowZeroAfterOneYieldThenRowsAreAppended)
{
    list->AddFileToList(QStringLiteral("C:\\Mail\\a.mbs"));
    EXPECT_EQ(yields, 1);
    EXPECT_EQ(rowsAtYield, 1);
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("C:\\Mail\\a.mbs")});
    EXPECT_EQ(GridRows(), Rows());
    EXPECT_EQ(count.text(), QStringLiteral("1 files"));

    // Spaces are stored as given.
    list->AddFileToList(QStringLiteral("C:\\Mail\\b.mbs"));
    list->AddFileToList(QStringLiteral("  C:\\Mail\\b.mbs "));
    EXPECT_EQ(yields, 1);
    EXPECT_EQ(Rows(), (QStringList{QStringLiteral("C:\\Mail\\a.mbs"), QStringLiteral("C:\\Mail\\b.mbs"),
                                   QStringLiteral("  C:\\Mail\\b.mbs ")}));
    EXPECT_EQ(GridRows(), Rows());
    EXPECT_EQ(count.text(), QStringLiteral("3 files"));
    EXPECT_EQ(grid.currentIndex().row(), 2);
    EXPECT_EQ(grid.currentIndex().column(), 0);
    EXPECT_FALSE(grid.model()->flags(grid.model()->index(2, 0)).testFlag(Qt::ItemIsEditable));
    EXPECT_TRUE(grid.model()->flags(grid.model()->index(2, 0)).testFlag(Qt::ItemIsSelectable));
}

TEST_F(SourceFileListTest, ALongPathKeepsItsFileNameInSightAndIsWholeInItsTooltip)
{
    QString path = QStringLiteral("/home/ann/.opera/mail/store");
    while (path.size() < 380)
        path += QStringLiteral("/account1/2010/01/05");
    path += QStringLiteral("/message-1234.mbs");
    list->AddFileToList(path);

    const QAbstractItemModel *model = grid.model();
    EXPECT_EQ(model->data(model->index(0, 0), Qt::ToolTipRole).toString(), path);
    // What the grid draws in its column: the start and the file name.
    const QString shown = grid.fontMetrics().elidedText(model->data(model->index(0, 0)).toString(),
                                                        grid.textElideMode(), grid.columnWidth(0));
    EXPECT_NE(shown, path);
    EXPECT_TRUE(shown.startsWith(QStringLiteral("/home/ann/"))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("message-1234.mbs"))) << shown.toStdString();
}

TEST_F(SourceFileListTest, ClearLeavesOneEmptyRowAndTheNextPathGoesIntoRowZero)
{
    list->AddFileToList(QStringLiteral("/mail/a.mbs"));
    list->AddFileToList(QStringLiteral("/mail/b.mbs"));
    list->ClearFileList();
    EXPECT_EQ(list->RowCount(), 1);
    EXPECT_TRUE(list->IsEmpty());
    EXPECT_EQ(GridRows(), QStringList{QString()});
    EXPECT_EQ(count.text(), QStringLiteral("0 files"));
    EXPECT_EQ(grid.currentIndex().row(), 0);
    EXPECT_EQ(grid.columnWidth(0), 1000); // the column keeps its width

    list->AddFileToList(QStringLiteral("/mail/c.mbs"));
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("/mail/c.mbs")});
    EXPECT_EQ(GridRows(), Rows());
    EXPECT_EQ(count.text(), QStringLiteral("1 files"));
    EXPECT_EQ(yields, 2);
}

TEST_F(SourceFileListTest, ABatchReachesTheGridAtEveryServeAndWhenItEnds)
{
    list->AddFileToList(QStringLiteral("/mail/first.mbs"));
    // At every serve inside the batch the grid, the label and the current
    // cell show exactly the rows added so far.
    int serves = 0;
    onServe = [&] {
        ++serves;
        EXPECT_EQ(GridRows(), Rows());
        EXPECT_EQ(count.text(), QStringLiteral("%1 files").arg(list->RowCount()));
        EXPECT_EQ(grid.currentIndex().row(), list->RowCount() - 1);
    };
    {
        const SourceFileList::Batch batch(*list);
        for (int i = 0; i < 10; ++i) {
            list->AddFileToList(QStringLiteral("/mail/%1.mbs").arg(i));
            if (i == 4)
                pump.Yield();
        }
        // Between serves only the list itself has the new rows.
        EXPECT_EQ(list->RowCount(), 11);
        EXPECT_EQ(grid.model()->rowCount(), 6);
        EXPECT_EQ(count.text(), QStringLiteral("6 files"));
    }
    EXPECT_EQ(serves, 1);
    EXPECT_EQ(GridRows(), Rows());
    EXPECT_EQ(count.text(), QStringLiteral("11 files"));
    EXPECT_EQ(grid.currentIndex().row(), 10);

    // Into an empty list, a batch's first path goes into row 0.
    onServe = nullptr;
    list->ClearFileList();
    {
        const SourceFileList::Batch batch(*list);
        list->AddFileToList(QStringLiteral("/mail/x.mbs"));
        list->AddFileToList(QStringLiteral("/mail/y.mbs"));
    }
    EXPECT_EQ(GridRows(), (QStringList{QStringLiteral("/mail/x.mbs"), QStringLiteral("/mail/y.mbs")}));
    EXPECT_EQ(count.text(), QStringLiteral("2 files"));
}

TEST_F(SourceFileListTest, AListWithoutABatchIsNeverBehindTheGrid)
{
    for (int i = 0; i < 3; ++i) {
        list->AddFileToList(QStringLiteral("/mail/%1.mbs").arg(i));
        EXPECT_EQ(GridRows(), Rows());
        EXPECT_EQ(count.text(), QStringLiteral("%1 files").arg(i + 1));
    }
    // Making a row current works on the rows the grid shows.
    list->MakeCurrent(1);
    EXPECT_EQ(grid.currentIndex().row(), 1);
    list->MakeCurrent(7); // outside the rows: ignored
    EXPECT_EQ(grid.currentIndex().row(), 1);
}

TEST(BusyScope, ReportsTheStartAndTheEndOfACommand)
{
    std::vector<bool> calls;
    const CommandHooks hooks{.enableConvert = {}, .busy = [&](bool busy) { calls.push_back(busy); }};
    {
        const BusyScope scope(hooks);
        EXPECT_EQ(calls, std::vector<bool>{true});
    }
    EXPECT_EQ(calls, (std::vector<bool>{true, false}));
    const CommandHooks none;
    EXPECT_NO_THROW(BusyScope{none});
}

} // namespace
} // namespace tovaly
