// SessionPool: extra sessions made like the window's one.
#include "app/SessionPool.hpp"

namespace app {

namespace {

constexpr int kIdleCloseMs = 30000;

} // namespace

SessionPool::SessionPool(std::function<RemoteSession&()> main, Factory make)
    : m_main(std::move(main))
    , m_make(std::move(make))
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(kIdleCloseMs);
    QObject::connect(&m_idle, &QTimer::timeout, [this] { CloseAll(); });
}

SessionPool::~SessionPool() = default;

std::size_t SessionPool::Open() const
{
    std::size_t open = 0;
    for (const auto* list : { &m_extras, &m_leaving })
        for (const auto& e : *list)
            open += e->IsConnected() ? 1 : 0;
    return open;
}

std::vector<RemoteSession*> SessionPool::Sessions(int n)
{
    m_idle.stop();
    RemoteSession& main = m_main();
    // Connections of an earlier session (another site, a reconnection) go.
    if (&main != m_mainSession || main.Generation() != m_mainGeneration) {
        CloseAll(true);
        m_mainSession = &main;
        m_mainGeneration = main.Generation();
    }
    std::vector<RemoteSession*> sessions { &main };
    for (int i = 1; i < n; ++i) {
        const std::size_t at = std::size_t(i) - 1;
        // One that lost its connection takes the settings in force now.
        if (at < m_extras.size() && !m_extras[at]->IsConnected() && !m_extras[at]->Busy())
            m_extras[at] = m_make(i + 1);
        if (at >= m_extras.size())
            m_extras.push_back(m_make(i + 1));
        sessions.push_back(m_extras[at].get());
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
    std::erase_if(m_leaving, [](const auto& e) { return !e->IsConnected() && !e->Busy(); });
    // Those still closing finish aside; the next run makes new ones with the
    // settings then in force, never one that may be another site's.
    for (auto& e : m_extras) {
        e->Close(now);
        m_leaving.push_back(std::move(e));
    }
    m_extras.clear();
    m_mainSession = nullptr;
}

} // namespace app
