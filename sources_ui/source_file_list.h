#pragma once
// The list of message files the next conversion reads. The window's grid
// shows the list itself, one full path per row of its single column; the
// count label beside it shows the number of rows. The paths live in one
// vector behind the grid (a model/view grid), so a list of hundreds of
// thousands of files costs little more than the paths themselves.

#include "event_pump.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QTableView;
class QWidget;

namespace tovaly {

class SourceFileModel;
class UserInteraction;

/// Lets the window process its pending events once, then returns.
using Yield = std::function<void()>;

/// Width of the grid's one column: 15000 twips, 1000 pixels at 96 dpi.
inline constexpr int kFileColumnWidth = 1000;

/// How a command tells the window about itself.
struct CommandHooks {
    /// Enables or disables `CmdConvert2MBOX`. While a command runs the
    /// window keeps the button disabled and applies this once it has ended.
    std::function<void(bool)> enableConvert{};
    /// A long command started (true) or ended (false): meanwhile the window
    /// disables the commands that change the list or convert it.
    std::function<void(bool)> busy{};
};

/// Calls hooks.busy(true) on construction and hooks.busy(false) however the
/// scope is left.
class BusyScope {
public:
    explicit BusyScope(const CommandHooks &hooks);
    ~BusyScope();
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;

private:
    const CommandHooks &m_hooks;
};

/// SourceFileList over the grid `grdFiles1` and the label `lblCount1`. The
/// grid never has zero rows: the empty list is one row with empty text, so
/// "empty" is told by the text of row 0, not by the row count. Paths are
/// kept as the core's bytes, exactly as given (no trimming, no existence
/// check), and shown converted (FromCore): a name that is not valid text in
/// the locale is converted as it is on disk. A path already listed is not
/// listed again.
class SourceFileList {
public:
    /// Lays out `grid` as the empty list (one column 1000 pixels wide, no
    /// headers, read-only, one empty row; a path too long for the column
    /// loses its middle, and its row's tooltip shows it whole) and sets
    /// `countLabel` to "0 files".
    /// `pump` is the window's event pump; the list shows its rows before
    /// every serve (see Batch). It must outlive the list.
    SourceFileList(QTableView *grid, QLabel *countLabel, EventPump *pump);
    ~SourceFileList();
    SourceFileList(const SourceFileList &) = delete;
    SourceFileList &operator=(const SourceFileList &) = delete;

    /// Empties the list: one row, its text empty, the label "0 files", the
    /// current cell on row 0. Never yields.
    void ClearFileList();

    /// Appends `path` (the core's bytes) as the last row, makes that row the
    /// current cell and sets the label to the row count followed by
    /// " files"; false, with nothing changed, when the list holds `path`
    /// already or it is empty. The first path into an empty list goes into
    /// row 0, after one yield. Inside a Batch the grid, label and current
    /// cell catch up when the window is next served, or when the batch ends.
    bool AddFileToList(std::string path);
    /// The same for a path as the window shows it (ToCore).
    bool AddFileToList(const QString &path);

    /// Number of rows; 1 for the empty list.
    [[nodiscard]] int RowCount() const;

    /// The text of `row` as the grid shows it; empty outside the rows.
    [[nodiscard]] QString TextAt(int row) const;

    /// The path of `row` for reading, as the core's bytes; empty outside
    /// the rows.
    [[nodiscard]] std::string PathAt(int row) const;

    /// Makes cell (`row`, 0) the grid's current cell; ignored outside the rows.
    void MakeCurrent(int row);

    /// True when row 0 has empty text.
    [[nodiscard]] bool IsEmpty() const;

    [[nodiscard]] QTableView *Grid() const { return m_grid; }

    /// Puts rows added in a batch on the grid, the count on the label and
    /// the current cell on the last row. Nothing to do outside a batch.
    void Show();

    /// While a Batch lives, adding a row touches only the vector of paths:
    /// a folder of 200,000 files is listed without 200,000 updates of the
    /// grid. Everything added is on the screen whenever the window paints,
    /// because the list shows itself before every serve of the pump.
    class Batch {
    public:
        explicit Batch(SourceFileList &list);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        SourceFileList &m_list;
    };

private:
    void ShowCount(int count);

    QTableView *m_grid;
    QLabel *m_countLabel;
    EventPump *m_pump;
    std::unique_ptr<SourceFileModel> m_model;
    int m_batches = 0;
    int m_displayId = 0;
};

/// The clear command: when the list has a path, asks "Do you want to clear
/// all the files in the list" CR LF " Proceed?" (titled with the application
/// title) and clears the list on Yes. An empty list asks nothing. Leaves the
/// current cell on row 0 and never touches the convert button.
void RunClearCommand(SourceFileList &list, UserInteraction &interaction, QWidget *owner);

} // namespace tovaly
