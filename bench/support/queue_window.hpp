// The real main window for the benches: offscreen, one vsftpd site in its
// book, logged in, and driven as a user drives it (select a row, queue it,
// run the queue and wait for the run's end from the event loop).
#pragma once

#include "app/core/Prompter.hpp"
#include "app/core/SiteBook.hpp"
#include "app/dirview.hpp"
#include "app/ftp_main.hpp"
#include "app/options.hpp"
#include "app/program.hpp"
#include "ftp_peers.hpp"
#include "ui/LsFilelistView28.hpp"
#include "ui/pump/QtPump.hpp"

#include "ui_mainform.h"
#include "ui_pagesdlg.h"

#include <QApplication>
#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace bench {

// Answers every question with All (or OK), so a run never stops; messages
// go to stderr, where a failed run shows them.
class AllPrompter : public app::Prompter {
public:
    void ShowMessage(const std::string& text, app::TMessageKind) override
    {
        std::fprintf(stderr, "message: %s\n", text.c_str());
    }
    app::TAnswer Confirm(const std::string&, app::TAnswers buttons) override
    {
        return buttons.Has(app::ansAll) ? app::ansAll : app::ansOK;
    }
    std::optional<std::string> InputQuery(const std::string&, const std::string&, const std::string&) override
    {
        return std::nullopt;
    }
    std::optional<std::string> SaveFileName(const std::string&, const std::string&) override { return std::nullopt; }
};

struct Window {
    testsupport::TempDir home;
    AllPrompter prompter;
    std::unique_ptr<QApplication> application;
    std::unique_ptr<ui::TQtPump> pump;
    std::unique_ptr<app::Tmainform> form;
};

// The real window, offscreen, with one site (the benches' vsftpd account at
// 127.0.0.1:port) in its book, logged in (passive).
// Sets the queue's number of connections as a user does, with the Options
// dialog's "Simultaneous transfers"; with no form, only whether N is one the
// dialog offers.
inline bool SetQueueConnections(app::Tmainform* form, int n)
{
    if (!form)
        return n >= 1 && n <= 10;
    QTimer::singleShot(0, form, [form, n] {
        Ui::TPagesDlg& d = form->PagesDlg().Form();
        d.spnConnections->setValue(n);
        d.OKBtn->click();
    });
    form->Options1Click();
    return form->PagesDlg().Form().spnConnections->value() == n;
}

// The speed limits as a user sets them, in the Options dialog (KiB/s, 0: none).
inline bool SetSpeedLimits(app::Tmainform& form, int kib)
{
    QTimer::singleShot(0, &form, [&form, kib] {
        Ui::TPagesDlg& d = form.PagesDlg().Form();
        d.spnDownloadLimit->setValue(kib);
        d.spnUploadLimit->setValue(kib);
        d.OKBtn->click();
    });
    form.Options1Click();
    return form.PagesDlg().Form().spnDownloadLimit->value() == kib;
}

// Waits, as a user does, until no command, walk or run of the window is in
// flight: they return at once and go on from the event loop.
inline void WaitIdle(app::Tmainform& form)
{
    while (form.QueueRunning() || form.Gate().Busy())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

// The application and the pump, once per process: before a window, or for
// work that runs from the event loop without one.
inline bool StartApplication(Window& w)
{
    if (w.application)
        return true;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("TALLOWIN_HOME", w.home.path().c_str(), 1);
    static int qargc = 1;
    static char arg0[] = "bench";
    static char* qargv[] = {arg0, nullptr};
    w.application = std::make_unique<QApplication>(qargc, qargv);
    app::SetUpApplication();
    w.pump = std::make_unique<ui::TQtPump>();
    return true;
}

// reserved: the site's options ("protocol=sftp"); the log-in is the
// benches' vsftpd account unless given.
inline bool OpenWindow(Window& w, int port, const std::string& reserved = {},
    const std::string& user = testsupport::Vsftpd::kUser, const std::string& password = testsupport::Vsftpd::kPassword)
{
    StartApplication(w);
    {
        app::SiteBook book;
        if (!book.Open(w.home.path().string()))
            return false;
        app::SiteRecord r;
        r.SetAlias("bench");
        r.SetHostName("127.0.0.1");
        r.SetPort(std::to_string(port));
        r.SetUserName(user);
        r.SetPassword(password);
        r.SetField(app::sfReserved, reserved);
        if (!book.Add(r))
            return false;
        book.Close();
    }
    w.form = std::make_unique<app::Tmainform>(w.prompter);
    w.form->show();
    w.form->Timer1().stop(); // no keep-alive NOOPs inside the timed runs
    w.form->SetPassiveMode("YES");
    w.form->btnConnectClick();
    WaitIdle(*w.form);
    if (w.form->LoggedIn() != 1) {
        std::fprintf(stderr, "worker: no log-in\n%s\n", qPrintable(w.form->LogLines().join('\n')));
        return false;
    }
    QApplication::processEvents();
    return true;
}

// A run returns at once and goes on from the event loop: the bench waits
// for its end as a user does.
inline void RunQueue(app::Tmainform& form)
{
    WaitIdle(form); // the walk of a queued selection ends first
    form.ProcessQueue();
    WaitIdle(form); // the run, then its listing of the folder
}

inline bool SelectOnly(app::Tmainform& form, const std::string& name)
{
    const auto& rows = form.dirview().Model().Rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].name == name) {
            form.dirview().Selection()->clearSelection();
            form.dirview().SelectRow(int(i));
            return true;
        }
    std::fprintf(stderr, "worker: no row \"%s\" in the remote list\n", name.c_str());
    return false;
}

// The local list's folder: where downloads go and relative uploads come from.
inline bool LocalFolder(app::Tmainform& form, const std::filesystem::path& folder)
{
    return form.Form().LsFilelistView281->SetDirectory(QString::fromStdString(folder.string()));
}

} // namespace bench
