#include "app/core/ActionGate.hpp"

#include <algorithm>
#include <utility>

namespace app {

ActionGate::Scope::Scope(ActionGate* gate)
    : m_gate(gate)
{
    if (m_gate)
        m_gate->Enter();
}

ActionGate::Scope::Scope(Scope&& other) noexcept
    : m_gate(std::exchange(other.m_gate, nullptr))
{ }

ActionGate::Scope& ActionGate::Scope::operator=(Scope&& other) noexcept
{
    if (this != &other) {
        if (m_gate)
            m_gate->Leave();
        m_gate = std::exchange(other.m_gate, nullptr);
    }
    return *this;
}

ActionGate::Scope::~Scope()
{
    if (m_gate)
        m_gate->Leave();
}

void ActionGate::Enter()
{
    if (m_depth++ == 0 && OnBusyChanged)
        OnBusyChanged(true);
}

void ActionGate::Leave()
{
    if (m_depth > 0 && --m_depth == 0 && OnBusyChanged)
        OnBusyChanged(false);
}

TGateVerdict ActionGate::Submit(const std::string& key, TActionPolicy policy, std::function<void()> action)
{
    if (!Busy() || policy == apFree) {
        // A free action holds nothing: Stop and Disconnect must not turn the gate busy.
        if (policy == apFree) {
            action();
        } else {
            Scope scope(this);
            action();
        }
        return gvRan;
    }
    if (policy == apRefuse)
        return gvRefused;
    const bool waiting = std::any_of(
        m_deferred.begin(), m_deferred.end(), [&key](const Deferred& d) { return d.Key == key; });
    if (!waiting)
        m_deferred.push_back({ key, std::move(action) });
    return gvDeferred;
}

bool ActionGate::TakeNext(Deferred& next)
{
    if (Busy() || m_deferred.empty())
        return false;
    next = std::move(m_deferred.front());
    m_deferred.pop_front();
    return true;
}

} // namespace app
