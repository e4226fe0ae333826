// SessionPool: the queue's extra connections to the site the window is
// connected to. Each is an engine of its own set up as the window's (server,
// log-in, proxy, TLS, passive mode), opened when a run needs it and closed
// after 30 s without a run, when the window's session ends or changes, and
// with the window. The window's own session stays the browsing one and is
// always the first of a run. GUI thread only.
#pragma once

#include "app/session/FtpSession.hpp"

#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ftp {
class TFtpClient;
} // namespace ftp
namespace net {
struct TCertInfo;
} // namespace net

namespace app {

class SessionPool {
public:
    // main: the window's session. certificate: the window's check of a
    // certificate the user has not accepted for the main connection. log:
    // a line of connection n (2, 3, ...) for the log.
    SessionPool(FtpSession& main, std::function<bool(const net::TCertInfo&)> certificate,
        std::function<void(int n, const std::string& line)> log);
    ~SessionPool();

    // The sessions of a run of n connections, the main one first; those not
    // connected yet log in when the run gives them an entry.
    std::vector<RemoteSession*> Sessions(int n);
    // A run ended: the extra connections close when none follows in 30 s.
    void RunEnded();
    // Closes the extra connections: those idle with QUIT, and with now
    // those in the middle of something as well (the window's session ended).
    void CloseAll(bool now = false);
    // The extra connections logged in now.
    std::size_t Open() const;
    // How long the extra connections stay after a run (30 s; tests shorten it).
    void SetIdleClose(int ms) { m_idle.setInterval(ms); }

private:
    struct Extra {
        std::unique_ptr<ftp::TFtpClient> Engine;
        std::unique_ptr<FtpSession> Session;
    };
    FtpSession& m_main;
    std::function<bool(const net::TCertInfo&)> m_certificate;
    std::function<void(int, const std::string&)> m_log;
    std::vector<Extra> m_extras;
    std::uint32_t m_mainGeneration = 0; // the main session the extras belong to
    QTimer m_idle;
};

} // namespace app
