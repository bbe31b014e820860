#include "frm_step1.h"

#include "add_files_command.h"
#include "add_folder_command.h"
#include "application_title.h"
#include "core_path.h"
#include "help_manual.h"
#include "twips.h"
#include "user_interaction.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QUrl>

#include <string>
#include <utility>
#include <vector>

// The icons are compiled into this library; make sure they are linked in.
static void InitialiseIconResources()
{
    Q_INIT_RESOURCE(tovaly);
}

namespace tovaly {

namespace {

const QColor kWhite(255, 255, 255);
const QColor kBandOutline(192, 192, 192);
const QColor kTitleText(64, 0, 0);
const QColor kMaroon(128, 0, 0);
const QColor kBlack(0, 0, 0);
const QColor kBlue(0, 0, 255);

// A filled rectangle with a one-pixel outline, drawn behind the controls.
class Band final : public QWidget {
public:
    explicit Band(QWidget *parent) : QWidget(parent) { setAttribute(Qt::WA_TransparentForMouseEvents); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), kWhite);
        painter.setPen(kBandOutline);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
};

// A push button that Enter presses when it has the focus, as buttons do on
// Windows; Space presses it too, as on every desktop.
class CommandButton final : public QPushButton {
public:
    CommandButton(const QString &text, QWidget *parent) : QPushButton(text, parent) {}

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
        const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
        if (enter && modifiers == Qt::NoModifier) {
            event->accept();
            if (!event->isAutoRepeat())
                click();
            return;
        }
        QPushButton::keyPressEvent(event);
    }
};

// The path a local file URL names, in native form, as the core's bytes.
std::string LocalPathOf(const QUrl &url)
{
#ifdef _WIN32
    return ToCore(QDir::toNativeSeparators(url.toLocalFile()));
#else
    // The bytes of the name as the file manager encoded them: a name that is
    // not UTF-8 would not survive the way through QString.
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
#endif
}

// The file grid. Files and folders dropped on it from a file manager are
// handed to `dropped`, after the drop has ended, while `acceptsDrops` says
// yes.
class FileGrid final : public QTableView {
public:
    explicit FileGrid(QWidget *parent) : QTableView(parent) {}

    std::function<bool()> acceptsDrops;
    std::function<void(const std::vector<std::string> &)> dropped;

    // The local files and folders `data` names, in native form, as the
    // core's bytes.
    static std::vector<std::string> LocalPaths(const QMimeData *mime)
    {
        std::vector<std::string> paths;
        if (mime == nullptr || !mime->hasUrls())
            return paths;
        for (const QUrl &url : mime->urls()) {
            if (url.isLocalFile() && !url.toLocalFile().isEmpty())
                paths.push_back(LocalPathOf(url));
        }
        return paths;
    }

protected:
    void dragEnterEvent(QDragEnterEvent *event) override { Consider(event); }
    void dragMoveEvent(QDragMoveEvent *event) override { Consider(event); }
    void dragLeaveEvent(QDragLeaveEvent *event) override { event->accept(); }

    void dropEvent(QDropEvent *event) override
    {
        if (!Accepts(event->mimeData())) {
            event->ignore();
            return;
        }
        event->acceptProposedAction();
        // The command yields and shows a box: run it once the drag source
        // has heard that the drop is done.
        QMetaObject::invokeMethod(
            this, [this, paths = LocalPaths(event->mimeData())] { dropped(paths); }, Qt::QueuedConnection);
    }

private:
    bool Accepts(const QMimeData *mime) const
    {
        return dropped && (!acceptsDrops || acceptsDrops()) && !LocalPaths(mime).empty();
    }

    void Consider(QDragMoveEvent *event)
    {
        if (Accepts(event->mimeData()))
            event->acceptProposedAction();
        else
            event->ignore();
    }
};

// Where Tahoma or the dialog font alias is missing, a face of about
// Tahoma's width keeps every caption inside its control.
void RegisterFontSubstitutes()
{
    const QStringList similar{QStringLiteral("Tahoma"), QStringLiteral("Wine Tahoma"),
                              QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans Narrow"),
                              QStringLiteral("Arial")};
    for (const QString &family : {QStringLiteral("Tahoma"), QStringLiteral("MS Shell Dlg 2")}) {
        QStringList substitutes = similar;
        substitutes.removeAll(family);
        QFont::insertSubstitutions(family, substitutes);
    }
}

// The platform's dialog font: what labels without a font of their own show.
QFont DialogFont()
{
    QFont font(QStringLiteral("MS Shell Dlg 2"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    return font;
}

QFont Tahoma(qreal points, bool bold = false)
{
    QFont font(QStringLiteral("Tahoma"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    return font;
}

QIcon ApplicationIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 256})
        icon.addFile(QStringLiteral(":/tovaly/envelope-%1.png").arg(size), QSize(size, size));
    return icon;
}

template <typename Widget>
Widget *Place(Widget *widget, const QString &name, const QRect &geometry)
{
    widget->setObjectName(name);
    widget->setGeometry(geometry);
    return widget;
}

QLabel *MakeLabel(QWidget *parent, const QString &name, const QString &text, const QRect &geometry)
{
    auto *label = Place(new QLabel(text, parent), name, geometry);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

void SetTextColour(QWidget *widget, const QColor &colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

void SetOpaqueBackground(QWidget *widget, const QColor &colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QPushButton *MakeButton(QWidget *parent, const QString &name, const QString &text, const QRect &geometry)
{
    auto *button = Place(new CommandButton(text, parent), name, geometry);
    button->setFont(Tahoma(8.25));
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QProgressBar *MakeProgressBar(QWidget *parent, const QString &name, const QRect &geometry)
{
    auto *bar = Place(new QProgressBar(parent), name, geometry);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

} // namespace

QString CopyrightNotice()
{
    return QStringLiteral("Copyright \u00A9 Tovaly. Opera Mail messages to mbox mailboxes.");
}

FrmStep1::FrmStep1(FrmStep1Services services)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_services(std::move(services))
{
    // Initialise step: the look of the controls is settled before any exists.
    if (m_services.initialiseControls)
        m_services.initialiseControls();

    InitialiseIconResources();
    setObjectName(QStringLiteral("frmStep1"));
    setWindowTitle(ApplicationTitle());
    setWindowIcon(ApplicationIcon());
    setFixedSize(kWindowWidth, kWindowHeight);
    setAcceptDrops(false);
    RegisterFontSubstitutes();
    setFont(DialogFont());
    CreateControls();

    // Load step: the grid becomes the empty list with its wide column.
    m_pump = std::make_unique<EventPump>(m_services.yield, m_services.clock);
    m_files = std::make_unique<SourceFileList>(m_controls.grdFiles1, m_controls.lblCount1, m_pump.get());
    const FrmStep1Controls &c = m_controls;
    m_conversion = std::make_unique<ConversionRun>(ConversionRunContext{
        .list = m_files.get(),
        .interaction = m_services.interaction,
        .owner = this,
        .controls = {c.ProgressBar1, c.EmlProgress, c.LblProgessCurrent, c.LblByteRead},
        .hooks = Hooks(),
        .pump = m_pump.get(),
    });

    // Files and folders dropped on the list are added to it.
    auto *grid = static_cast<FileGrid *>(c.grdFiles1);
    grid->acceptsDrops = [this] { return m_busy == 0; };
    grid->dropped = [this](const std::vector<std::string> &paths) { OnDropped(paths); };
    grid->setAcceptDrops(true);
    grid->viewport()->setAcceptDrops(true);

    SetTabOrder();
    Connect();
    m_controls.cmdAdd->setFocus(Qt::OtherFocusReason);
    CentreOnScreen();
}

FrmStep1::~FrmStep1() = default;

void FrmStep1::CreateControls()
{
    FrmStep1Controls &c = m_controls;

    // Created back to front: the bands first, then the labels and picture,
    // then the controls that take input.
    c.Shape2 = Place(new Band(this), QStringLiteral("Shape2"), TwipsRect(-120, 0, 8415, 855));
    c.Shape1 = Place(new Band(this), QStringLiteral("Shape1"), TwipsRect(-120, 5640, 8415, 855));

    c.lblTitle = MakeLabel(this, QStringLiteral("lblTitle"), ApplicationTitle(), TwipsRect(240, 120, 7695, 375));
    c.lblTitle->setFont(Tahoma(14.25, true));
    SetTextColour(c.lblTitle, kTitleText);
    SetOpaqueBackground(c.lblTitle, kWhite);

    c.lblCopyright = MakeLabel(this, QStringLiteral("lblCopyright"), CopyrightNotice(), TwipsRect(240, 480, 6135, 255));
    c.lblCopyright->setFont(Tahoma(8.25));
    SetTextColour(c.lblCopyright, kBlack);
    SetOpaqueBackground(c.lblCopyright, kWhite);

    c.lblCount1 =
        MakeLabel(this, QStringLiteral("lblCount1"), QStringLiteral("0 files"), TwipsRect(270, 1560, 7695, 255));
    c.lblCount1->setFont(Tahoma(8.25));

    c.Label4 = MakeLabel(this, QStringLiteral("Label4"), QStringLiteral("Converting Messages..."),
                         TwipsRect(240, 3480, 2535, 255));
    c.Label4->setFont(Tahoma(8.25));

    c.Image1 = Place(new QLabel(this), QStringLiteral("Image1"), TwipsRect(240, 3720, 240, 240));
    c.Image1->setPixmap(QPixmap(QStringLiteral(":/tovaly/envelope-16.png")));
    c.Image1->setScaledContents(false);
    c.Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    c.LblProgessCurrent = MakeLabel(this, QStringLiteral("LblProgessCurrent"), QStringLiteral("Message 0 (of 0)"),
                                    TwipsRect(600, 3720, 7335, 255));
    SetTextColour(c.LblProgessCurrent, kBlack);

    c.Label3 = MakeLabel(this, QStringLiteral("Label3"), QStringLiteral("Message Status     :"),
                         TwipsRect(240, 3960, 1815, 255));
    c.Label3->setFont(Tahoma(8.25, true));
    SetTextColour(c.Label3, kMaroon);

    c.Label1 = MakeLabel(this, QStringLiteral("Label1"), QStringLiteral("Saving : "), TwipsRect(1920, 4250, 735, 255));

    c.LblByteRead = MakeLabel(this, QStringLiteral("LblByteRead"), QStringLiteral("<  Not Available >"),
                              TwipsRect(2640, 4250, 5295, 255));
    SetTextColour(c.LblByteRead, kBlue);

    c.Label2 = MakeLabel(this, QStringLiteral("Label2"), QStringLiteral("Conversion Progress : "),
                         TwipsRect(240, 4560, 1695, 255));

    c.cmdAdd = MakeButton(this, QStringLiteral("cmdAdd"), QStringLiteral("Add MBS File(s)..."),
                          TwipsRect(240, 960, 1815, 375));
    c.CmdAddFolder = MakeButton(this, QStringLiteral("CmdAddFolder"),
                                QStringLiteral("Add Folder having MBS File(s)..."), TwipsRect(2400, 960, 2775, 375));
    c.cmdClear1 = MakeButton(this, QStringLiteral("cmdClear1"), QStringLiteral("Clear File(s)..."),
                             TwipsRect(6240, 960, 1695, 375));

    c.grdFiles1 = Place(new FileGrid(this), QStringLiteral("grdFiles1"), TwipsRect(240, 1800, 7695, 1575));
    c.grdFiles1->setFont(Tahoma(8.25));
    c.grdFiles1->verticalHeader()->setMinimumSectionSize(1);
    c.grdFiles1->verticalHeader()->setDefaultSectionSize(c.grdFiles1->fontMetrics().height() + 4);

    c.EmlProgress = MakeProgressBar(this, QStringLiteral("EmlProgress"), TwipsRect(1920, 3960, 6015, 255));
    c.ProgressBar1 = MakeProgressBar(this, QStringLiteral("ProgressBar1"), TwipsRect(1920, 4560, 6015, 255));

    c.CmdConvert2MBOX = MakeButton(this, QStringLiteral("CmdConvert2MBOX"),
                                   QStringLiteral("Convert &Messages to MBOX File"), TwipsRect(2760, 5040, 2655, 435));
    c.CmdConvert2MBOX->setEnabled(false);

    c.Picture3 = Place(new QWidget(this), QStringLiteral("Picture3"), TwipsRect(120, 5760, 7935, 495));
    SetOpaqueBackground(c.Picture3, kWhite);
    c.CmdHelp =
        MakeButton(c.Picture3, QStringLiteral("CmdHelp"), QStringLiteral("&Help Manual"), TwipsRect(0, 0, 1695, 375));
    c.cmdEnd = MakeButton(c.Picture3, QStringLiteral("cmdEnd"), QStringLiteral("E&xit"), TwipsRect(6480, 0, 1335, 375));
}

void FrmStep1::SetTabOrder()
{
    const FrmStep1Controls &c = m_controls;
    QWidget *const order[] = {c.cmdAdd,          c.cmdClear1, c.CmdAddFolder, c.grdFiles1,
                              c.CmdConvert2MBOX, c.cmdEnd,    c.CmdHelp};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);
}

void FrmStep1::Connect()
{
    const FrmStep1Controls &c = m_controls;
    connect(c.cmdAdd, &QPushButton::clicked, this, &FrmStep1::OnAdd);
    connect(c.CmdAddFolder, &QPushButton::clicked, this, &FrmStep1::OnAddFolder);
    connect(c.cmdClear1, &QPushButton::clicked, this, &FrmStep1::OnClear);
    connect(c.CmdConvert2MBOX, &QPushButton::clicked, this, &FrmStep1::OnConvert);
    connect(c.CmdHelp, &QPushButton::clicked, this, &FrmStep1::OnHelp);
    connect(c.cmdEnd, &QPushButton::clicked, this, &FrmStep1::OnEnd);
}

void FrmStep1::CentreOnScreen()
{
    const QScreen *screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    QRect frame(QPoint(0, 0), frameGeometry().size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

void FrmStep1::closeEvent(QCloseEvent *event)
{
    event->accept();
    if (m_services.endProgram)
        m_services.endProgram();
}

CommandHooks FrmStep1::Hooks()
{
    return {.enableConvert = [this](bool enabled) { EnableConvert(enabled); },
            .busy = [this](bool busy) { SetBusy(busy); }};
}

// While a conversion or a scan runs, the commands that change the list or
// start a conversion are disabled, so none of them runs inside its yields;
// Help and Exit stay usable. The convert button then takes the state the
// commands asked for meanwhile, and the focus goes back where it was.
void FrmStep1::SetBusy(bool busy)
{
    const FrmStep1Controls &c = m_controls;
    if (busy && m_busy++ == 0) {
        m_convertAllowed = c.CmdConvert2MBOX->isEnabled();
        m_focusBeforeBusy = QApplication::focusWidget();
    } else if (!busy && m_busy > 0) {
        --m_busy;
    }
    const bool idle = m_busy == 0;
    for (QPushButton *button : {c.cmdAdd, c.CmdAddFolder, c.cmdClear1})
        button->setEnabled(idle);
    c.CmdConvert2MBOX->setEnabled(idle && m_convertAllowed);
    if (idle && m_focusBeforeBusy && m_focusBeforeBusy->isEnabled() && m_focusBeforeBusy->window() == this &&
        QApplication::focusWidget() != m_focusBeforeBusy)
        m_focusBeforeBusy->setFocus(Qt::OtherFocusReason);
}

void FrmStep1::EnableConvert(bool enabled)
{
    m_convertAllowed = enabled;
    if (m_busy == 0)
        m_controls.CmdConvert2MBOX->setEnabled(enabled);
}

void FrmStep1::OnAdd()
{
    RunAddFilesCommand({m_files.get(), m_services.interaction, this, Hooks(), m_pump.get()});
}

void FrmStep1::OnAddFolder()
{
    RunAddFolderCommand({m_files.get(), m_services.interaction, this, Hooks(), m_pump.get(), nullptr});
}

void FrmStep1::OnDropped(const std::vector<std::string> &paths)
{
    if (m_busy > 0)
        return;
    RunAddPathsCommand({m_files.get(), m_services.interaction, this, Hooks(), m_pump.get(), nullptr}, paths);
}

void FrmStep1::OnConvert()
{
    m_conversion->Run();
}

void FrmStep1::OnClear()
{
    RunClearCommand(*m_files, *m_services.interaction, this);
}

void FrmStep1::OnHelp()
{
    // The desktop's answer is waited for with the window served: a second
    // click meanwhile opens nothing more.
    if (m_helpOpening)
        return;
    m_helpOpening = true;
    const bool opened = m_services.interaction->OpenAddress(m_services.helpAddress);
    m_helpOpening = false;
    if (!opened)
        m_services.interaction->Warn(this, ApplicationTitle(), HelpManualFailureText(m_services.helpAddress));
}

void FrmStep1::OnEnd()
{
    const QString question = QStringLiteral("Are you sure you want to exit now?");
    if (m_services.interaction->Ask(this, ApplicationTitle(), question) == UserInteraction::Answer::Yes)
        close();
}

} // namespace tovaly
