#pragma once
// The program's one window, frmStep1: the header, the three list buttons, the
// file count and grid, the conversion status block, the convert button and
// the footer with help and exit. Every control is a child whose objectName is
// its name below. The window only wires buttons to commands; the commands
// work through the services it is given.

#include "common_controls.h"
#include "conversion_run.h"
#include "source_file_list.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QTableView;

namespace tovaly {

class UserInteraction;

/// What the program (or a test) gives the window.
struct FrmStep1Services {
    /// Every message box, picker, file dialog and opened address.
    UserInteraction *interaction = nullptr;
    /// Lets the window handle its pending events once. Long commands reach
    /// it through the window's EventPump, which calls it at most once per
    /// kServeIntervalMs.
    Yield yield{};
    /// Called when the window has closed, for any reason: ends the program.
    std::function<void()> endProgram{};
    /// The address the help button opens.
    QString helpAddress{};
    /// The window's initialise step, run before any control exists.
    std::function<void()> initialiseControls = &InitCommonControls;
    /// The clock of the event pump; SteadyMilliseconds when empty.
    ProgressClock clock{};
};

/// The controls of frmStep1 by name, for the commands that drive them.
struct FrmStep1Controls {
    QWidget *Shape2 = nullptr;
    QLabel *lblTitle = nullptr;
    QLabel *lblCopyright = nullptr;
    QPushButton *cmdAdd = nullptr;
    QPushButton *CmdAddFolder = nullptr;
    QPushButton *cmdClear1 = nullptr;
    QLabel *lblCount1 = nullptr;
    QTableView *grdFiles1 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Image1 = nullptr;
    QLabel *LblProgessCurrent = nullptr;
    QLabel *Label3 = nullptr;
    QProgressBar *EmlProgress = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *LblByteRead = nullptr;
    QLabel *Label2 = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QPushButton *CmdConvert2MBOX = nullptr;
    QWidget *Shape1 = nullptr;
    QWidget *Picture3 = nullptr;
    QPushButton *CmdHelp = nullptr;
    QPushButton *cmdEnd = nullptr;
};

/// Client size of the window in pixels (8145 x 6270 twips).
inline constexpr int kWindowWidth = 543;
inline constexpr int kWindowHeight = 418;

/// The one-line notice under the title.
[[nodiscard]] QString CopyrightNotice();

class FrmStep1 : public QWidget {
    Q_OBJECT

public:
    /// Runs the initialise step, creates every control in its initial state
    /// (empty list, "0 files", bars at 0, convert button disabled, focus on
    /// `cmdAdd`), lays out the grid and centres the window on its screen.
    explicit FrmStep1(FrmStep1Services services);
    ~FrmStep1() override;

    [[nodiscard]] const FrmStep1Controls &Controls() const { return m_controls; }
    [[nodiscard]] SourceFileList &Files() { return *m_files; }
    [[nodiscard]] const FrmStep1Services &Services() const { return m_services; }

    /// True while a conversion run is under way (its yields included).
    [[nodiscard]] bool ConversionActive() const { return m_conversion->IsActive(); }

    /// True while a conversion or a scan for files runs: the list commands
    /// and the convert button are disabled meanwhile; Help and Exit are not.
    [[nodiscard]] bool CommandRunning() const { return m_busy > 0; }

    /// The pump every long command of the window yields through.
    [[nodiscard]] EventPump &Pump() { return *m_pump; }

    /// Moves the window to the centre of its screen's available area.
    void CentreOnScreen();

protected:
    /// Closing never asks and is never refused: the program ends.
    void closeEvent(QCloseEvent *event) override;

private:
    void CreateControls();
    void SetTabOrder();
    void Connect();
    [[nodiscard]] CommandHooks Hooks();
    void SetBusy(bool busy);
    void EnableConvert(bool enabled);

    void OnAdd();
    void OnAddFolder();
    void OnClear();
    void OnConvert();
    void OnHelp();
    void OnEnd();
    void OnDropped(const std::vector<std::string> &paths);

    FrmStep1Services m_services;
    FrmStep1Controls m_controls;
    std::unique_ptr<EventPump> m_pump;
    std::unique_ptr<SourceFileList> m_files;
    std::unique_ptr<ConversionRun> m_conversion;
    int m_busy = 0;
    bool m_convertAllowed = false;       // the convert button's state once no command runs
    QPointer<QWidget> m_focusBeforeBusy; // where the focus goes back to
    bool m_helpOpening = false;          // the help address is being handed to the desktop
};

} // namespace tovaly
