// window_driver: the converter's window driven end to end as a user would
// drive it, for bench/window.sh. It builds the real frmStep1 with the real
// event pump and the real end of the program, answers the dialogs from its
// command line instead of a person, clicks "Add Folder having MBS File(s)..."
// and, when asked, "Convert Messages to MBOX File", then closes the window.
// Runs headless on the offscreen platform unless QT_QPA_PLATFORM says
// otherwise.
//
// usage: window_driver --add-folder STORE [--convert OUT] [--probe]
//
// Prints, on stdout, one "name value" line per figure:
//   add_folder_ms  from the click to the summary box
//   rows           the rows of the list after the scan
//   convert_ms     from the click to the completion box
//   serves, serve_ms
//                  how often the window was served during the commands, and
//                  the time it took (painting and handling events)
//   probes, longest_answer_ms
//                  with --probe: a second thread clicks Exit every 100 ms
//                  while the commands run; the time from such a click to
//                  its question (answered No) is measured, and the longest
//                  is printed
// Every message box is written to stderr. Exit status 0 when the scan
// added files and the conversion (if any) ended with the completion box,
// every mailbox read back as written.

#include "conversion_run.h"
#include "frm_step1.h"
#include "mailbox_record.h"
#include "program_lifetime.h"
#include "user_interaction.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

using namespace tovaly;

// Answers every dialog the way the command line says.
class BenchInteraction final : public UserInteraction {
public:
    std::deque<QString> folders;
    QString lastInformTitle;
    QString lastInformText;
    QString lastNotice;
    int warnings = 0;

    // Exit clicks posted by the probe thread, and how long their questions
    // took to appear.
    std::mutex probeMutex;
    std::deque<std::chrono::steady_clock::time_point> pendingClicks;
    double longestAnswerMs = 0;
    int answered = 0;

    Answer Ask(QWidget *, const QString &, const QString &text) override
    {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(probeMutex);
        if (!pendingClicks.empty()) {
            const double ms = std::chrono::duration<double, std::milli>(now - pendingClicks.front()).count();
            pendingClicks.pop_front();
            longestAnswerMs = std::max(longestAnswerMs, ms);
            ++answered;
        } else {
            std::fprintf(stderr, "question: %s\n", qPrintable(text));
        }
        return Answer::No;
    }
    void Warn(QWidget *, const QString &, const QString &text) override
    {
        ++warnings;
        std::fprintf(stderr, "warning: %s\n", qPrintable(text));
    }
    void WarnWithDetails(QWidget *, const QString &, const QString &text, const QString &details) override
    {
        ++warnings;
        std::fprintf(stderr, "warning: %s\n%s\n", qPrintable(text), qPrintable(details));
    }
    void Inform(QWidget *, const QString &title, const QString &text) override
    {
        lastInformTitle = title;
        lastInformText = text;
        std::fprintf(stderr, "information: %s\n", qPrintable(text));
    }
    void Notify(QWidget *, const QString &, const QString &text) override
    {
        lastNotice = text;
        std::fprintf(stderr, "notice: %s\n", qPrintable(text));
    }
    QString BrowseForFolder(QWidget *, const QString &) override
    {
        if (folders.empty())
            return {};
        QString folder = folders.front();
        folders.pop_front();
        return folder;
    }
    QStringList PickMessageFiles(QWidget *, const QString &) override { return {}; }
    bool OpenAddress(const QString &) override { return true; }
};

// Clicks Exit from another thread every 100 ms, as a user would while a
// command runs; the click waits in the event queue until the window is
// served.
class ExitProbe {
public:
    ExitProbe(BenchInteraction &interaction, QPushButton *exitButton)
        : m_interaction(interaction), m_exit(exitButton), m_thread([this] { Run(); })
    {
    }
    ~ExitProbe()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void Run()
    {
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            {
                std::lock_guard lock(m_interaction.probeMutex);
                if (!m_interaction.pendingClicks.empty())
                    continue; // the last click is not answered yet
                m_interaction.pendingClicks.push_back(std::chrono::steady_clock::now());
            }
            QMetaObject::invokeMethod(m_exit, &QPushButton::click, Qt::QueuedConnection);
        }
    }

    BenchInteraction &m_interaction;
    QPushButton *m_exit;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

void Usage()
{
    std::fprintf(stderr, "usage: window_driver --add-folder STORE [--convert OUT] [--probe]\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QString store;
    QString output;
    bool probe = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--add-folder") == 0 && i + 1 < argc) {
            store = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--convert") == 0 && i + 1 < argc) {
            output = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(argv[i], "--probe") == 0) {
            probe = true;
        } else {
            Usage();
            return 2;
        }
    }
    if (store.isEmpty()) {
        Usage();
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // As the program itself starts.
    QApplication application(argc, argv);
    LetOversizeWritesFail();
    BenchInteraction interaction;
    ProgramLifetime lifetime([] { QCoreApplication::processEvents(); }, [] { QCoreApplication::quit(); },
                             [] { std::exit(EXIT_SUCCESS); });
    std::chrono::steady_clock::duration serving{};
    FrmStep1 window({
        .interaction = &interaction,
        .yield =
            [&lifetime, &serving] {
                const auto start = std::chrono::steady_clock::now();
                lifetime.Yield();
                serving += std::chrono::steady_clock::now() - start;
            },
        .endProgram = [&lifetime] { lifetime.End(); },
        .helpAddress = QString(),
    });
    window.show();

    int status = 0;
    QTimer::singleShot(0, &window, [&] {
        const FrmStep1Controls &c = window.Controls();
        std::unique_ptr<ExitProbe> exitProbe;
        if (probe)
            exitProbe = std::make_unique<ExitProbe>(interaction, c.cmdEnd);
        QElapsedTimer clock;

        interaction.folders.push_back(store);
        clock.start();
        c.CmdAddFolder->click();
        std::printf("add_folder_ms %lld\n", static_cast<long long>(clock.elapsed()));
        std::printf("rows %d\n", window.Files().IsEmpty() ? 0 : window.Files().RowCount());
        if (window.Files().IsEmpty())
            status = 1;

        if (!output.isEmpty()) {
            interaction.folders.push_back(output);
            clock.start();
            c.CmdConvert2MBOX->click();
            std::printf("convert_ms %lld\n", static_cast<long long>(clock.elapsed()));
            // Every file converted, and every mailbox read back as written.
            if (interaction.lastInformTitle != CompletionTitle() ||
                !interaction.lastInformText.startsWith(CompletionText()) ||
                !interaction.lastInformText.endsWith(QStringLiteral(" read back and matched.")))
                status = 1;
        }
        exitProbe.reset();
        std::printf("serves %llu\n", static_cast<unsigned long long>(window.Pump().Serves()));
        std::printf("serve_ms %.1f\n", std::chrono::duration<double, std::milli>(serving).count());
        if (probe) {
            std::printf("probes %d\n", interaction.answered);
            std::printf("longest_answer_ms %.1f\n", interaction.longestAnswerMs);
        }
        std::fflush(stdout);
        window.close();
    });
    const int loop = application.exec();
    return loop != 0 ? loop : status;
}
