// Helpers of the window tests that talk to real servers: sites in the book,
// the rows of the remote list, the log, and bounded waits that keep the
// window and the sockets running.
#pragma once

#include "app/core/SiteBook.hpp"
#include "app/dirview.hpp"
#include "app/ftp_main.hpp"

#include "ui_mainform.h"

#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QStringList>
#include <QTest>

#include <string>

namespace windowtest {

struct Site {
    std::string alias = "test", host = "127.0.0.1", port, user, password, remoteDir, localDir, reserved;
};

// Adds a site to the book in home (before the window is made).
inline bool WriteSite(const QString& home, const Site& s)
{
    app::SiteBook book;
    if (!book.Open(home.toStdString()))
        return false;
    app::SiteRecord r;
    r.SetAlias(s.alias);
    r.SetHostName(s.host);
    r.SetPort(s.port);
    r.SetUserName(s.user);
    r.SetPassword(s.password);
    r.SetRemoteDir(s.remoteDir);
    r.SetLocalDir(s.localDir);
    r.SetField(app::sfReserved, s.reserved);
    const bool ok = book.Add(r).has_value();
    book.Close();
    return ok;
}

inline QStringList Names(app::Tmainform& form)
{
    QStringList names;
    for (const app::RemoteRow& row : form.dirview().Model().Rows())
        names << QString::fromStdString(row.name);
    return names;
}

inline int RowOf(app::Tmainform& form, const std::string& name)
{
    const auto& rows = form.dirview().Model().Rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].name == name)
            return int(i);
    return -1;
}

inline const app::RemoteRow* Find(app::Tmainform& form, const std::string& name)
{
    const int row = RowOf(form, name);
    return row < 0 ? nullptr : &form.dirview().Model().Row(row);
}

// Selects exactly the rows with these names.
inline void Select(app::Tmainform& form, std::initializer_list<std::string> names)
{
    form.dirview().Selection()->clearSelection();
    for (const std::string& name : names)
        form.dirview().SelectRow(RowOf(form, name));
}

inline bool LogHas(app::Tmainform& form, const QString& text)
{
    return form.LogLines().contains(text);
}

// Waits for a condition while the window and the sockets run (bounded).
template <typename F> bool WaitFor(F condition, int ms = 15000)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > ms)
            return false;
        QTest::qWait(10);
    }
    return true;
}

// Waits until no queue run or other action is in flight (runs return at once).
inline bool WaitIdle(app::Tmainform& form, int ms = 60000)
{
    return WaitFor([&] { return !form.QueueRunning() && !form.Gate().Busy(); }, ms);
}

// Picks the site with this alias in the site list as a user would, in
// passive mode and without the keep-alive timer, and connects; true when
// logged in.
inline bool ConnectTo(app::Tmainform& form, const QString& alias)
{
    form.Timer1().stop();
    form.SetPassiveMode("YES");
    form.Form().ComboBox1->setCurrentIndex(form.Form().ComboBox1->findText(alias));
    form.btnConnectClick();
    WaitIdle(form);
    return form.LoggedIn() == 1;
}

} // namespace windowtest
