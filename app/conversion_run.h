#pragma once
// The conversion run behind `CmdConvert2MBOX`: asks for an output folder,
// converts a copy of the source list with the conversion core and shows the
// progress on the window's status block.

#include "source_file_list.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QProgressBar;
class QWidget;

namespace tovaly {

class UserInteraction;
struct FileFailure;
struct VerificationMismatch;
struct VerificationReport;

/// Title of the box that ends a run in which every file was converted.
[[nodiscard]] QString CompletionTitle();

/// Its three lines, joined by CR LF.
[[nodiscard]] QString CompletionText();

/// The message shown instead of a run when the list holds no file.
[[nodiscard]] QString NothingToConvertText();

/// The text of the warning that ends a run in which some files failed:
/// "<failed> of <total> files could not be converted.", and when some were
/// converted, a second line "The other files have been exported to .mbox
/// format." (CR LF between).
[[nodiscard]] QString FailureSummaryText(std::size_t failed, std::size_t total);

/// Its details: every failure on a line of its own, in list order: its
/// reason when that names the path, otherwise "<path>: <reason>". Lines
/// joined by LF, so they can be copied as they are.
[[nodiscard]] QString FailureDetailsText(const std::vector<FileFailure> &failures);

/// The line of the closing box for the messages left out as already in
/// their mailboxes: "<n> messages were already in their mailboxes and were
/// left out."
[[nodiscard]] QString AlreadyPresentText(std::uint64_t messages);

/// The line of the closing box for reading the mailboxes back:
/// ReadBackSummary with a full stop.
[[nodiscard]] QString ReadBackText(const VerificationReport &report);

/// The first line of the closing box when every file was converted but a
/// mailbox did not read back as written.
[[nodiscard]] QString MismatchText();

/// The details of such a box: "<mailbox>: <problem>" per mismatch, lines
/// joined by LF.
[[nodiscard]] QString MismatchDetailsText(const std::vector<VerificationMismatch> &mismatches);

/// What the end of a run adds when the writer did more than append (a torn
/// mailbox completed): "Please note:", then one line per warning for the
/// first kReportedWarnings, then "and N more.". Lines joined by CR LF.
inline constexpr std::size_t kReportedWarnings = 10;
[[nodiscard]] QString WarningText(const std::vector<std::string> &warnings);

/// Value of `EmlProgress` after `read` of the `total` bytes of a file:
/// read / total * 100 in double precision, rounded to the nearest integer
/// with halves to the even one (1 of 8 gives 12, 3 of 8 gives 38), capped
/// at 100; 0 when the total is 0.
[[nodiscard]] int ProgressPercent(std::uint64_t read, std::uint64_t total);

/// Value of `ProgressBar1` after row `index` (0-based) of `total`:
/// (index + 1) / total * 100 as a single-precision number, rounded to the
/// nearest integer (1 of 3 gives 33, 2 of 3 gives 67, 3 of 3 gives 100).
[[nodiscard]] int OverallPercent(std::size_t index, std::size_t total);

/// Caption of `LblProgessCurrent` after row `index` of `total`:
/// "Message <index + 1> (of <total>)".
[[nodiscard]] QString MessageCounterText(std::size_t index, std::size_t total);

/// Caption of `LblByteRead`: "<read> Bytes out of <total> Total Bytes.",
/// where a count past the total (the line ends a reader adds to lines that
/// end in LF or in nothing) shows as the total.
[[nodiscard]] QString ByteCounterText(std::uint64_t read, std::uint64_t total);

/// The controls of the window's status block the run drives.
struct ConversionControls {
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
    CommandHooks hooks{};      ///< the busy state of the window's commands
    EventPump *pump = nullptr; ///< the window's event pump
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
    /// - the output root gets a trailing separator; the window is served;
    ///   the run becomes the window's busy command (the list commands and
    ///   the convert button are disabled) and both bars get the range 0 to
    ///   100;
    /// - every file is converted in order, with a yield at every line,
    ///   leaving out the messages a mailbox holds already (nothing is cut:
    ///   a torn end is completed as a plain append completes it); then
    ///   every mailbox written to is read back and compared. The
    ///   status block keeps the exact state of the run: the row being
    ///   converted, `EmlProgress` and `LblByteRead` after the last line
    ///   read, `ProgressBar1` and `LblProgessCurrent` after the last file
    ///   done. It puts that state on the controls before every serve of the
    ///   pump and once more at the end, so the window always shows it
    ///   exactly however seldom it paints;
    /// - the completion box when every file was converted and read back
    ///   as written, otherwise a warning titled with the application title:
    ///   FailureSummaryText (or MismatchText) in the box and
    ///   FailureDetailsText and MismatchDetailsText in its details; either
    ///   box adds AlreadyPresentText when messages were left out, then
    ///   ReadBackText when a mailbox was read back, then WarningText when
    ///   there are warnings;
    /// - the window's commands come back.
    void Run();

    /// True from the click until the run has ended.
    [[nodiscard]] bool IsActive() const { return m_active; }

private:
    ConversionRunContext m_context;
    bool m_active = false;
};

} // namespace tovaly
