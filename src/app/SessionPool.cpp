// SessionPool: extra engines configured from the window's one.
#include "app/SessionPool.hpp"

#include "ftp/FtpCli.hpp"
#include "net/Tls.hpp"

namespace app {

namespace {

constexpr int kIdleCloseMs = 30000;

} // namespace

SessionPool::SessionPool(FtpSession& main, std::function<bool(const net::TCertInfo&)> certificate,
    std::function<void(int n, const std::string& line)> log)
    : m_main(main)
    , m_certificate(std::move(certificate))
    , m_log(std::move(log))
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(kIdleCloseMs);
    QObject::connect(&m_idle, &QTimer::timeout, [this] { CloseAll(); });
}

SessionPool::~SessionPool()
{
    for (Extra& e : m_extras) {
        e.Session.reset();
        e.Engine->OnCertificateCheck = nullptr;
    }
}

std::size_t SessionPool::Open() const
{
    std::size_t open = 0;
    for (const Extra& e : m_extras)
        open += e.Session->IsConnected() ? 1 : 0;
    return open;
}

std::vector<RemoteSession*> SessionPool::Sessions(int n)
{
    m_idle.stop();
    // Connections of an earlier session (another site, a reconnection) go.
    if (m_main.Generation() != m_mainGeneration) {
        CloseAll();
        m_mainGeneration = m_main.Generation();
    }
    std::vector<RemoteSession*> sessions { &m_main };
    for (int i = 1; i < n; ++i) {
        if (std::size_t(i) > m_extras.size()) {
            Extra e;
            e.Engine = std::make_unique<ftp::TFtpClient>();
            ftp::TFtpClient* engine = e.Engine.get();
            // The certificate the user accepted for the main connection holds for these.
            engine->OnCertificateCheck = [this](ftp::TCustomFtpCli*, const net::TCertInfo& info, bool& accept) {
                const std::string& accepted = m_main.Engine().AcceptedFingerprint();
                accept = (!accepted.empty() && info.Fingerprint == accepted) || (m_certificate && m_certificate(info));
            };
            e.Session = std::make_unique<FtpSession>(*engine);

            const int number = i + 1;
            e.Session->SessionEvents().Log = [this, number](const std::string& line) {
                if (m_log)
                    m_log(number, line);
            };
            m_extras.push_back(std::move(e));
        }
        Extra& e = m_extras[std::size_t(i) - 1];
        if (!e.Session->IsConnected())
            e.Engine->CopyConnectionSettings(m_main.Engine());
        sessions.push_back(e.Session.get());
    }
    return sessions;
}

void SessionPool::RunEnded()
{
    if (!m_extras.empty())
        m_idle.start();
}

void SessionPool::CloseAll(bool now)
{
    m_idle.stop();
    for (Extra& e : m_extras) {
        if (!e.Session->IsConnected())
            continue;
        bool quitting = false;
        if (!e.Session->Busy()) {
            // QUIT, answered or not: the engine closes the connection with it.
            try {
                quitting = e.Engine->BeginQuit();
            } catch (const std::exception&) {
            }
        }
        if (!quitting && now)
            e.Engine->ftp::TCustomFtpCli::Abort();
    }
}

} // namespace app
