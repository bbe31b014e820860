#include "source_file_list.h"

#include "application_title.h"
#include "core_path.h"
#include "user_interaction.h"

#include <QAbstractItemView>
#include <QAbstractTableModel>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>

#include <algorithm>
#include <functional>
#include <unordered_set>
#include <utility>

namespace tovaly {

// The paths behind the grid, as the core's bytes. The grid knows the first
// `shown` of them; rows added since are announced to it in one piece by
// Publish().
class SourceFileModel final : public QAbstractTableModel {
public:
    SourceFileModel() : m_paths(1), m_listed(0, ListedHash{&m_paths}, ListedEqual{&m_paths}) {}

    int rowCount(const QModelIndex &parent) const override { return parent.isValid() ? 0 : m_shown; }
    int columnCount(const QModelIndex &parent) const override { return parent.isValid() ? 0 : 1; }

    QVariant data(const QModelIndex &index, int role) const override
    {
        // The whole path in the tooltip: a long one is elided in the grid.
        if ((role != Qt::DisplayRole && role != Qt::ToolTipRole) || !index.isValid() || index.column() != 0 ||
            index.row() >= m_shown)
            return {};
        return FromCore(m_paths[static_cast<std::size_t>(index.row())]);
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

    [[nodiscard]] int Rows() const { return static_cast<int>(m_paths.size()); }
    [[nodiscard]] const std::string &At(int row) const { return m_paths[static_cast<std::size_t>(row)]; }
    [[nodiscard]] bool Pending() const { return m_shown < Rows() || m_firstChanged; }
    [[nodiscard]] bool Empty() const { return m_paths.size() == 1 && m_paths.front().empty(); }

    // Into row 0 while the list is empty, else behind the last row; false
    // when the path is listed already.
    bool Add(std::string path)
    {
        const bool first = Empty();
        if (first)
            m_paths.front() = std::move(path);
        else
            m_paths.push_back(std::move(path));
        if (!m_listed.insert(m_paths.size() - 1).second) {
            m_paths.pop_back(); // never the first: an empty list holds nothing twice
            return false;
        }
        m_firstChanged = m_firstChanged || first;
        return true;
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
            Q_EMIT dataChanged(index(0, 0), index(0, 0), {Qt::DisplayRole, Qt::ToolTipRole});
        }
    }

    // Back to one empty row. The rows go one by one from the grid's point of
    // view (no reset), so the column keeps its width.
    void Clear()
    {
        Publish();
        m_listed.clear();
        if (m_shown > 1) {
            beginRemoveRows(QModelIndex(), 1, m_shown - 1);
            m_paths.resize(1);
            m_shown = 1;
            endRemoveRows();
        }
        if (!m_paths.front().empty()) {
            m_paths.front().clear();
            Q_EMIT dataChanged(index(0, 0), index(0, 0), {Qt::DisplayRole, Qt::ToolTipRole});
        }
        m_paths.shrink_to_fit();
        m_listed.rehash(0);
    }

private:
    // A path's bytes as they tell files apart: Windows names a file the
    // same with either separator and in either case of its ASCII letters.
    static char KeyByte(char c)
    {
#ifdef Q_OS_WIN
        if (c == '/')
            return '\\';
        if (c >= 'A' && c <= 'Z')
            return static_cast<char>(c - 'A' + 'a');
#endif
        return c;
    }

    // The listed paths by their row, hashed and compared by the path, so
    // each path is kept once.
    struct ListedHash {
        const std::vector<std::string> *paths;
        std::size_t operator()(std::size_t row) const
        {
            std::size_t hash = 14695981039346656037ULL; // FNV-1a
            for (const char c : (*paths)[row])
                hash = (hash ^ static_cast<unsigned char>(KeyByte(c))) * 1099511628211ULL;
            return hash;
        }
    };
    struct ListedEqual {
        const std::vector<std::string> *paths;
        bool operator()(std::size_t a, std::size_t b) const
        {
            const std::string &x = (*paths)[a];
            const std::string &y = (*paths)[b];
            return x.size() == y.size() &&
                   std::equal(x.begin(), x.end(), y.begin(), [](char p, char q) { return KeyByte(p) == KeyByte(q); });
        }
    };

    std::vector<std::string> m_paths; // never empty: the empty list is one empty path
    std::unordered_set<std::size_t, ListedHash, ListedEqual> m_listed;
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
    // A long path loses its middle, not its file name.
    m_grid->setTextElideMode(Qt::ElideMiddle);
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

bool SourceFileList::AddFileToList(std::string path)
{
    if (path.empty())
        return false;
    if (IsEmpty()) {
        // The first path goes into row 0, after the window had its turn.
        if (m_batches == 0)
            MakeCurrent(0);
        m_pump->Yield();
    }
    if (!m_model->Add(std::move(path)))
        return false;
    if (m_batches == 0)
        Show();
    return true;
}

bool SourceFileList::AddFileToList(const QString &path)
{
    return AddFileToList(ToCore(path));
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
    return row >= 0 && row < m_model->Rows() ? FromCore(m_model->At(row)) : QString();
}

std::string SourceFileList::PathAt(int row) const
{
    return row >= 0 && row < m_model->Rows() ? m_model->At(row) : std::string();
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
    return m_model->Empty();
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

} // namespace tovaly
