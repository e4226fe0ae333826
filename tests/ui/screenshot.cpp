// Renders the program's windows on the offscreen platform into PNG files:
//   tallowin_screenshot DIR
// The windows are built by the program's own code, in a scratch home folder
// holding two sample sites and a queue line.
#include "app/core/Prompter.hpp"
#include "app/core/SiteBook.hpp"
#include "app/dialog.hpp"
#include "app/ftp_main.hpp"
#include "app/hakkinda.hpp"
#include "app/options.hpp"
#include "app/program.hpp"
#include "ui/LsFilelistView28.hpp"

#include "ui_dlgsite.h"
#include "ui_mainform.h"
#include "ui_pagesdlg.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace {

void WriteText(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(bytes);
}

bool Save(QWidget& w, const QDir& out, const QString& name)
{
    QApplication::processEvents();
    const bool ok = w.grab().save(out.filePath(name));
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(out.filePath(name)));
    return ok;
}

bool Shoot(const QDir& out, bool english)
{
    QTemporaryDir home;
    qputenv("TALLOWIN_HOME", home.path().toUtf8());
    WriteText(home.filePath("language.txt"), english ? "ENGLISH\r\n\r\nNO\r\n" : "TURKCE\r\n\r\nNO\r\n");
    WriteText(home.filePath("queue.txt"), "D:F;/home/user/readme.txt;/pub/readme.txt\r\n");
    {
        app::SiteBook book;
        if (!book.Open(home.path().toStdString()))
            return false;
        const char* sites[][3]
            = { { "Example mirror", "127.0.0.1", "anonymous" }, { "Work server", "127.0.0.2", "deploy" } };
        for (const auto& s : sites) {
            app::SiteRecord r;
            r.SetAlias(s[0]);
            r.SetHostName(s[1]);
            r.SetUserName(s[2]);
            r.SetPassword("secret");
            r.SetPort("21");
            r.SetRemoteDir("/pub");
            book.Add(r);
        }
    }
    // A sample local folder.
    QDir local(home.path());
    local.mkpath("files/Documents");
    local.mkpath("files/Pictures");
    WriteText(home.filePath("files/notes.txt"), "notes\n");
    WriteText(home.filePath("files/index.html"), "<html></html>\n");
    WriteText(home.filePath("files/archive.zip"), QByteArray(5000, 'z'));

    app::ScriptedPrompter prompter;
    app::Tmainform form(prompter);
    form.resize(843, 508);
    form.show();
    form.Form().LsFilelistView281->SetDirectory(home.filePath("files"));
    form.Form().LsDirTreeCombo281->SetSelectedPath(home.filePath("files"));
    form.SetStatusText(0, english ? "Ready." : "Hazır.");
    const QString suffix = english ? "english" : "turkish";
    bool ok = Save(form, out, "mainform_" + suffix + ".png");

    app::TdlgSite& dlg = form.dlgSite();
    Ui::TdlgSite& d = dlg.Form();
    d.edtAlias->setText("Example mirror");
    d.edtHost->setText("127.0.0.1");
    d.edtUser->setText("anonymous");
    d.edtPassword->setText("secret");
    d.edtDefaultDir->setText("/pub");
    dlg.show();
    ok = Save(dlg, out, "dlgSite_" + suffix + ".png") && ok;
    dlg.hide();
    if (english) {
        form.PagesDlg().show();
        ok = Save(form.PagesDlg(), out, "PagesDlg.png") && ok;
        form.PagesDlg().Form().PageControl1->setCurrentWidget(form.PagesDlg().Form().TabSheet2);
        ok = Save(form.PagesDlg(), out, "PagesDlg_transfers.png") && ok;
        form.PagesDlg().hide();
        form.AboutBox().show();
        ok = Save(form.AboutBox(), out, "AboutBox.png") && ok;
        form.AboutBox().hide();
    }
    form.close();
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    app::SetUpApplication();
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(".")) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    const bool ok = Shoot(out, true) && Shoot(out, false);
    return ok ? 0 : 1;
}
