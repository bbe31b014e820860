#pragma once
// The conversion run behind `CmdConvert2MBOX`: asks for an output folder,
// converts a copy of the source list with the conversion core and shows the
// progress on the window's status block.

#include "progress_clock.h"
#include "source_file_list.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

namespace tovaly {

class UserInteraction;
struct FileFailure;

/// Milliseconds on a monotonic clock, the one the command line uses too.
using Clock = ProgressClock;

/// The per-message display and the event pump are refreshed at most once in
/// this many milliseconds while a message is read; row boundaries always
/// refresh them.
inline constexpr std::int64_t kDisplayIntervalMs = 20;

/// Longest list of failed files the report names one by one.
inline constexpr std::size_t kReportedFailures = 10;

/// Title of the box that ends a run in which every file was converted.
[[nodiscard]] QString CompletionTitle();

/// Its three lines, joined by CR LF.
[[nodiscard]] QString CompletionText();

/// The message shown instead of a run when the list holds no file.
[[nodiscard]] QString NothingToConvertText();

/// The warning that ends a run in which some files failed: how many of
/// `total` could not be converted, then one line per failure (its reason,
/// which names the path, or "path: reason") for the first
/// kReportedFailures, then "and N more." for the rest. Lines joined by CR LF.
[[nodiscard]] QString FailureReportText(const std::vector<FileFailure> &failures, std::size_t total);

/// Value of `ProgressBar1` after row `index` (0-based) of `total`:
/// (index + 1) / total * 100 as a single-precision number, rounded to the
/// nearest integer (1 of 3 gives 33, 2 of 3 gives 67, 3 of 3 gives 100).
[[nodiscard]] int OverallPercent(std::size_t index, std::size_t total);

/// Caption of `LblProgessCurrent` after row `index` of `total`:
/// "Message <index + 1> (of <total>)".
[[nodiscard]] QString MessageCounterText(std::size_t index, std::size_t total);

/// Caption of `LblByteRead`: "<read> Bytes out of <total> Total Bytes."
[[nodiscard]] QString ByteCounterText(std::uint64_t read, std::uint64_t total);

/// The controls of the window's status block the run drives.
struct ConversionControls {
    QPushButton *CmdConvert2MBOX = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QProgressBar *EmlProgress = nullptr;
    QLabel *LblProgessCurrent = nullptr;
    QLabel *LblByteRead = nullptr;
};

/// Everything the run works on.
struct ConversionRunContext {
    SourceFileList *list = nullptr;
    UserInteraction *interaction = nullptr;
    QWidget *owner = nullptr; ///< the window; owner of the picker and boxes
    ConversionControls controls;
    Yield yield;  ///< the window's event pump
    Clock clock;  ///< paces the display; a steady clock when empty
};

/// The conversion command of one window. One instance lives as long as the
/// window, so that it knows whether a run is under way.
class ConversionRun {
public:
    explicit ConversionRun(ConversionRunContext context);

    /// The click of `CmdConvert2MBOX`:
    /// - refused without a word while a run is active (a click that reaches
    ///   it from inside a yield of that run);
    /// - a list without a file shows NothingToConvertText and ends;
    /// - the list is copied (each row's text without leading and trailing
    ///   spaces; empty rows left out), so changes to the grid during the run
    ///   do not change what it converts;
    /// - the folder picker "Choose Folder to Save..."; cancel ends the
    ///   command with nothing changed;
    /// - yield; both bars get the
    ///   range 0 to 100 and the convert button is disabled;
    /// - every file is converted in order: its grid row is selected (while it
    ///   still holds that file) and the window yields; `EmlProgress` and
    ///   `LblByteRead` follow the lines read; after the file `ProgressBar1`
    ///   and `LblProgessCurrent` show the position in the copy;
    /// - the completion box when every file was converted, otherwise the
    ///   failure report as a warning titled with the application title;
    /// - the convert button is enabled again.
    void Run();

    /// True from the click until the run has ended.
    [[nodiscard]] bool IsActive() const { return m_active; }

private:
    ConversionRunContext m_context;
    bool m_active = false;
};

} // namespace tovaly
