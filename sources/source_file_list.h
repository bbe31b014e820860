#pragma once
// The list of message files the next conversion reads. The window's grid is
// the list itself, one full path per row of its single column; the count
// label beside it shows the number of rows.

#include <QString>

#include <functional>

class QLabel;
class QTableWidget;
class QWidget;

namespace tovaly {

class UserInteraction;

/// Lets the window process its pending events once, then returns.
using Yield = std::function<void()>;

/// Width of the grid's one column: 15000 twips, 1000 pixels at 96 dpi.
inline constexpr int kFileColumnWidth = 1000;

/// SourceFileList over the grid `grdFiles1` and the label `lblCount1`. The
/// grid never has zero rows: the empty list is one row with empty text, so
/// "empty" is told by the text of row 0, not by the row count. Paths are
/// stored exactly as given (no trimming, no existence or duplicate checks).
class SourceFileList {
public:
    /// Lays out `grid` as the empty list (one column 1000 pixels wide, no
    /// headers, read-only, one empty row) and sets `countLabel` to "0 files".
    /// `yield` is the window's event pump.
    SourceFileList(QTableWidget *grid, QLabel *countLabel, Yield yield);

    /// Empties the list: one row, its text empty, the label "0 files".
    /// Never yields.
    void ClearFileList();

    /// Appends `path` as the last row, makes that row the current cell and
    /// sets the label to the row count followed by " files". The first path
    /// into an empty list goes into row 0, after one yield.
    void AddFileToList(QString path);

    /// Number of grid rows; 1 for the empty list.
    [[nodiscard]] int RowCount() const;

    /// The text of `row` exactly as stored; empty outside the rows.
    [[nodiscard]] QString TextAt(int row) const;

    /// The path of `row` for reading: its text without leading and trailing
    /// spaces (other white space stays).
    [[nodiscard]] QString PathAt(int row) const;

    /// Makes cell (`row`, 0) the grid's current cell; ignored outside the rows.
    void MakeCurrent(int row);

    /// True when row 0 has empty text.
    [[nodiscard]] bool IsEmpty() const;

    [[nodiscard]] QTableWidget *Grid() const { return m_grid; }

private:
    void SetText(int row, const QString &text);
    void ShowCount(int count);

    QTableWidget *m_grid;
    QLabel *m_countLabel;
    Yield m_yield;
};

/// The clear command: when the list has a path, asks "Do you want to clear
/// all the files in the list" CR LF " Proceed?" (titled with the application
/// title) and clears the list on Yes. An empty list asks nothing. Leaves the
/// current cell on row 0 and never touches the convert button.
void RunClearCommand(SourceFileList &list, UserInteraction &interaction, QWidget *owner);

/// Removes leading and trailing space characters only.
[[nodiscard]] QString TrimSpaces(const QString &text);

} // namespace tovaly
