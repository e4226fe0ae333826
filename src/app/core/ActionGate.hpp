// One action at a time. While an engine command or a queue run is in flight
// (a Scope is held), a user action that would use the engine, the queue or
// the remote list is either put off until the outermost scope has ended, or
// refused. Single-threaded (the GUI thread); no Qt, so a table tests it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace app {

enum TActionPolicy : std::uint8_t {
    apFree, // never waits: Stop, Disconnect, local-only commands
    apDefer, // runs once after the action in flight (Connect, Refresh, a drop)
    apRefuse, // waiting makes no sense: navigation, rename, a raw command
};

enum TGateVerdict : std::uint8_t { gvRan, gvDeferred, gvRefused };

class ActionGate {
public:
    // Marks the gate busy for its lifetime; scopes nest. Move-only.
    class Scope {
    public:
        Scope() = default;
        explicit Scope(ActionGate* gate);
        Scope(Scope&& other) noexcept;
        Scope& operator=(Scope&& other) noexcept;
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        ~Scope();

    private:
        ActionGate* m_gate = nullptr;
    };

    Scope Hold() { return Scope(this); }
    bool Busy() const { return m_depth > 0; }

    // Runs the action at once (holding a scope) when the gate is idle or the
    // policy is apFree. Otherwise defers it (an action whose key is already
    // waiting is not added again) or refuses it.
    TGateVerdict Submit(const std::string& key, TActionPolicy policy, std::function<void()> action);

    // The oldest deferred action, removed from the list; empty when the gate
    // is busy or nothing waits. The caller passes it through Submit again.
    struct Deferred {
        std::string Key;
        std::function<void()> Action;
    };
    bool TakeNext(Deferred& next);
    std::size_t Waiting() const { return m_deferred.size(); }
    // Forgets every deferred action (the window closes).
    void DropDeferred() { m_deferred.clear(); }

    // Called when the gate turns busy (true) and idle again (false).
    std::function<void(bool busy)> OnBusyChanged;

private:
    void Enter();
    void Leave();

    int m_depth = 0;
    std::deque<Deferred> m_deferred;
};

} // namespace app
