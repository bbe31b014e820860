#include "source_file_list.h"

#include "application_title.h"
#include "user_interaction.h"

#include <QAbstractItemView>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>

#include <utility>

namespace tovaly {

SourceFileList::SourceFileList(QTableWidget *grid, QLabel *countLabel, Yield yield)
    : m_grid(grid), m_countLabel(countLabel), m_yield(std::move(yield))
{
    m_grid->setColumnCount(1);
    m_grid->setRowCount(1);
    m_grid->clearContents();
    m_grid->horizontalHeader()->hide();
    m_grid->verticalHeader()->hide();
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_grid->setSelectionBehavior(QAbstractItemView::SelectItems);
    m_grid->setTabKeyNavigation(false);
    m_grid->setDragDropMode(QAbstractItemView::NoDragDrop);
    m_grid->setAcceptDrops(false);
    m_grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_grid->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_grid->setWordWrap(false);
    m_grid->setColumnWidth(0, kFileColumnWidth);
    ShowCount(0);
}

void SourceFileList::ClearFileList()
{
    m_grid->setRowCount(1);
    m_grid->clearContents();
    m_countLabel->setText(QStringLiteral("0 files"));
}

void SourceFileList::AddFileToList(QString path)
{
    bool intoFirstRow = false;
    if (m_grid->rowCount() == 1) {
        MakeCurrent(0);
        if (TextAt(0).isEmpty()) {
            if (m_yield)
                m_yield();
            // Lay the grid out afresh: something may have changed it while
            // the window handled its events.
            m_grid->setRowCount(1);
            m_grid->setColumnCount(1);
            m_grid->setColumnWidth(0, kFileColumnWidth);
            MakeCurrent(0);
            intoFirstRow = true;
        }
    }
    if (!intoFirstRow)
        m_grid->setRowCount(m_grid->rowCount() + 1);
    const int last = m_grid->rowCount() - 1;
    MakeCurrent(last);
    SetText(last, path);
    ShowCount(m_grid->rowCount());
}

int SourceFileList::RowCount() const
{
    return m_grid->rowCount();
}

QString SourceFileList::TextAt(int row) const
{
    const QTableWidgetItem *cell = m_grid->item(row, 0);
    return cell != nullptr ? cell->text() : QString();
}

QString SourceFileList::PathAt(int row) const
{
    return TrimSpaces(TextAt(row));
}

void SourceFileList::MakeCurrent(int row)
{
    if (row < 0 || row >= m_grid->rowCount())
        return;
    m_grid->setCurrentCell(row, 0);
}

bool SourceFileList::IsEmpty() const
{
    return TextAt(0).isEmpty();
}

void SourceFileList::SetText(int row, const QString &text)
{
    if (QTableWidgetItem *cell = m_grid->item(row, 0)) {
        cell->setText(text);
        return;
    }
    auto *cell = new QTableWidgetItem(text);
    cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    m_grid->setItem(row, 0, cell);
}

void SourceFileList::ShowCount(int count)
{
    m_countLabel->setText(QString::number(count) + QStringLiteral(" files"));
}

void RunClearCommand(SourceFileList &list, UserInteraction &interaction, QWidget *owner)
{
    list.MakeCurrent(0);
    if (list.IsEmpty())
        return;
    const QString question = QStringLiteral("Do you want to clear all the files in the list\r\n Proceed?");
    if (interaction.Ask(owner, ApplicationTitle(), question) == UserInteraction::Answer::Yes)
        list.ClearFileList();
}

QString TrimSpaces(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace tovaly
