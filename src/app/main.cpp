// The program: one main window; no command-line options.
#include "app/QtPrompter.hpp"
#include "app/ftp_main.hpp"
#include "app/program.hpp"

#include <QApplication>
#ifdef TALLOWIN_QT_PUMP
#include "ui/pump/QtPump.hpp"
#endif

#include <memory>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    app::CatchCloseSignals();
    app::SetUpApplication();
#ifdef TALLOWIN_QT_PUMP
    // Socket events and posted messages run inside Qt's loops, modal ones too.
    ui::TQtPump pump;
#endif
    // The program ends when the main window has closed, not when some other
    // window happens to be the last one.
    QApplication::setQuitOnLastWindowClosed(false);

    app::QtPrompter prompter;
    auto mainform = std::make_unique<app::Tmainform>(prompter);
    prompter.SetParentWidget(mainform.get());
    QObject::connect(
        mainform.get(), &app::Tmainform::Closed, &application, &QApplication::quit, Qt::QueuedConnection);
    app::CloseOnSignals(mainform.get());
    mainform->show();
    const int rc = QApplication::exec();
    mainform.reset(); // FormDestroy: site book closed, settings written
    return rc;
}
