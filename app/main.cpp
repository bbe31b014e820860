// TovalyOpera2MBOXConverter: opens the converter's window.

#include "frm_step1.h"
#include "help_manual.h"
#include "mailbox_record.h"
#include "program_lifetime.h"
#include "qt_user_interaction.h"

#include <QApplication>

#include <cstdlib>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    tovaly::LetOversizeWritesFail();

    tovaly::QtUserInteraction interaction;
    tovaly::ProgramLifetime lifetime([] { QCoreApplication::processEvents(); }, [] { QCoreApplication::quit(); },
                                     [] { std::exit(EXIT_SUCCESS); });

    tovaly::FrmStep1 window({
        .interaction = &interaction,
        .yield = [&lifetime] { lifetime.Yield(); },
        .endProgram = [&lifetime] { lifetime.End(); },
        .helpAddress = tovaly::HelpManualAddress(QCoreApplication::applicationDirPath()),
    });
    window.show();
    return application.exec();
}
