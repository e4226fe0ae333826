// SessionPool: the queue's extra connections to the site the window is
// connected to, made by the window's factory as its own session is (server,
// log-in, proxy, encryption, passive mode, the key or certificate the user
// accepted), opened when a run needs them and closed after 30 s without a
// run, when the window's session ends or changes, and with the window. The
// window's own session stays the browsing one and is always the first of a
// run. GUI thread only.
#pragma once

#include "app/session/RemoteSession.hpp"

#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace app {

class SessionPool {
public:
    // main: the window's session now (FTP or SFTP). make: a new session to
    // the same site, its log lines numbered n (2, 3, ...).
    using Factory = std::function<std::unique_ptr<RemoteSession>(int n)>;
    SessionPool(std::function<RemoteSession&()> main, Factory make);
    ~SessionPool();

    // The sessions of a run of n connections, the main one first; those not
    // connected yet log in when the run gives them an entry.
    std::vector<RemoteSession*> Sessions(int n);
    // A run ended: the extra connections close when none follows in 30 s.
    void RunEnded();
    // Closes the extra connections: those idle politely, and with now
    // those in the middle of something as well (the window's session ended
    // or changed). None of them is used again.
    void CloseAll(bool now = false);
    // The extra connections logged in now.
    std::size_t Open() const;
    // How long the extra connections stay after a run (30 s; tests shorten it).
    void SetIdleClose(int ms) { m_idle.setInterval(ms); }

private:
    std::function<RemoteSession&()> m_main;
    Factory m_make;
    std::vector<std::unique_ptr<RemoteSession>> m_extras;
    std::vector<std::unique_ptr<RemoteSession>> m_leaving; // an earlier session's, closing
    // The main session the extras belong to.
    const RemoteSession* m_mainSession = nullptr;
    std::uint32_t m_mainGeneration = 0;
    QTimer m_idle;
};

} // namespace app
