#include "source_file_list.h"

#include "application_title.h"
#include "user_interaction.h"

#include <QAbstractItemView>
#include <QAbstractTableModel>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>

#include <utility>

namespace tovaly {

// The paths behind the grid. The grid knows the first `shown` of them; rows
// added since are announced to it in one piece by Publish().
class SourceFileModel final : public QAbstractTableModel {
public:
    SourceFileModel() : m_paths(1) {}

    int rowCount(const QModelIndex &parent) const override { return parent.isValid() ? 0 : m_shown; }
    int columnCount(const QModelIndex &parent) const override { return parent.isValid() ? 0 : 1; }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role != Qt::DisplayRole || !index.isValid() || index.column() != 0 || index.row() >= m_shown)
            return {};
        return m_paths[static_cast<std::size_t>(index.row())];
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

    [[nodiscard]] int Rows() const { return static_cast<int>(m_paths.size()); }
    [[nodiscard]] const QString &At(int row) const { return m_paths[static_cast<std::size_t>(row)]; }
    [[nodiscard]] bool Pending() const { return m_shown < Rows() || m_firstChanged; }

    // Into row 0 while the list is empty, else behind the last row.
    void Add(QString path)
    {
        if (m_paths.size() == 1 && m_paths.front().isEmpty()) {
            m_paths.front() = std::move(path);
            m_firstChanged = true;
        } else {
            m_paths.push_back(std::move(path));
        }
    }

    // Tells the grid about every change since the last call.
    void Publish()
    {
        if (m_shown < Rows()) {
            beginInsertRows(QModelIndex(), m_shown, Rows() - 1);
            m_shown = Rows();
            endInsertRows();
        }
        if (m_firstChanged) {
            m_firstChanged = false;
            Q_EMIT dataChanged(index(0, 0), index(0, 0), {Qt::DisplayRole});
        }
    }

    // Back to one empty row. The rows go one by one from the grid's point of
    // view (no reset), so the column keeps its width.
    void Clear()
    {
        Publish();
        if (m_shown > 1) {
            beginRemoveRows(QModelIndex(), 1, m_shown - 1);
            m_paths.resize(1);
            m_shown = 1;
            endRemoveRows();
        }
        if (!m_paths.front().isEmpty()) {
            m_paths.front().clear();
            Q_EMIT dataChanged(index(0, 0), index(0, 0), {Qt::DisplayRole});
        }
        m_paths.shrink_to_fit();
    }

private:
    std::vector<QString> m_paths; // never empty: the empty list is one empty path
    int m_shown = 1;
    bool m_firstChanged = false;
};

BusyScope::BusyScope(const CommandHooks &hooks) : m_hooks(hooks)
{
    if (m_hooks.busy)
        m_hooks.busy(true);
}

BusyScope::~BusyScope()
{
    if (m_hooks.busy)
        m_hooks.busy(false);
}

SourceFileList::SourceFileList(QTableView *grid, QLabel *countLabel, EventPump *pump)
    : m_grid(grid), m_countLabel(countLabel), m_pump(pump), m_model(std::make_unique<SourceFileModel>())
{
    m_grid->setModel(m_model.get());
    m_grid->horizontalHeader()->hide();
    m_grid->verticalHeader()->hide();
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_grid->setSelectionBehavior(QAbstractItemView::SelectItems);
    m_grid->setTabKeyNavigation(false);
    m_grid->setDragDropMode(QAbstractItemView::NoDragDrop);
    m_grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_grid->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_grid->setWordWrap(false);
    m_grid->setColumnWidth(0, kFileColumnWidth);
    ShowCount(0);
    m_displayId = m_pump->AddDisplay([this] { Show(); });
}

SourceFileList::~SourceFileList()
{
    m_pump->RemoveDisplay(m_displayId);
    m_grid->setModel(nullptr);
}

void SourceFileList::ClearFileList()
{
    m_model->Clear();
    m_countLabel->setText(QStringLiteral("0 files"));
    MakeCurrent(0);
}

void SourceFileList::AddFileToList(QString path)
{
    if (IsEmpty()) {
        // The first path goes into row 0, after the window had its turn.
        if (m_batches == 0)
            MakeCurrent(0);
        m_pump->Yield();
    }
    m_model->Add(std::move(path));
    if (m_batches == 0)
        Show();
}

void SourceFileList::Show()
{
    if (!m_model->Pending())
        return;
    m_model->Publish();
    const int rows = m_model->Rows();
    m_grid->setCurrentIndex(m_model->index(rows - 1, 0));
    ShowCount(rows);
}

int SourceFileList::RowCount() const
{
    return m_model->Rows();
}

QString SourceFileList::TextAt(int row) const
{
    return row >= 0 && row < m_model->Rows() ? m_model->At(row) : QString();
}

QString SourceFileList::PathAt(int row) const
{
    return TrimSpaces(TextAt(row));
}

void SourceFileList::MakeCurrent(int row)
{
    if (row < 0 || row >= m_model->Rows())
        return;
    Show();
    m_grid->setCurrentIndex(m_model->index(row, 0));
}

bool SourceFileList::IsEmpty() const
{
    return m_model->At(0).isEmpty();
}

void SourceFileList::ShowCount(int count)
{
    m_countLabel->setText(QString::number(count) + QStringLiteral(" files"));
}

SourceFileList::Batch::Batch(SourceFileList &list) : m_list(list)
{
    ++m_list.m_batches;
}

SourceFileList::Batch::~Batch()
{
    --m_list.m_batches;
    m_list.Show();
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
