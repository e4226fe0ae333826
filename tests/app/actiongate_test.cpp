// The one-action-at-a-time gate, by table: what runs, waits or is refused,
// and in which order the waiting ones come back.
#include "app/core/ActionGate.hpp"
#include "app/core/SessionLog.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace app;

TEST(ActionGate, Table)
{
    // 'h' holds a scope, 'r' releases the newest, 's' submits key/policy,
    // 'n' takes the next deferred action and submits it again.
    struct Step {
        char op;
        const char* key = "";
        TActionPolicy policy = apDefer;
        std::optional<TGateVerdict> verdict = std::nullopt;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::string> ran;       // actions run, in order
        std::vector<std::string> busyLog;   // OnBusyChanged calls
    } cases[] = {
        { "idle runs at once, busy while it runs",
            { { 's', "connect", apDefer, gvRan }, { 's', "rename", apRefuse, gvRan } }, { "connect", "rename" },
            { "busy", "idle", "busy", "idle" } },
        { "busy: defer once, refuse, free runs",
            { { 'h' }, { 's', "refresh", apDefer, gvDeferred }, { 's', "refresh", apDefer, gvDeferred },
                { 's', "rename", apRefuse, gvRefused }, { 's', "stop", apFree, gvRan }, { 'n' }, { 'r' },
                { 'n' }, { 'n' } },
            { "stop", "refresh" }, { "busy", "idle", "busy", "idle" } },
        { "nested scopes: idle only after the outermost",
            { { 'h' }, { 'h' }, { 's', "a", apDefer, gvDeferred }, { 'r' }, { 'n' }, { 's', "b", apDefer, gvDeferred },
                { 'r' }, { 'n' }, { 'n' }, { 'n' } },
            { "a", "b" }, { "busy", "idle", "busy", "idle", "busy", "idle" } },
    };
    for (const auto& c : cases) {
        ActionGate gate;
        std::vector<std::string> ran, busyLog;
        std::vector<ActionGate::Scope> held;
        gate.OnBusyChanged = [&](bool busy) { busyLog.push_back(busy ? "busy" : "idle"); };
        for (const Step& step : c.steps) {
            if (step.op == 'h') {
                held.push_back(gate.Hold());
            } else if (step.op == 'r') {
                held.pop_back();
            } else if (step.op == 's') {
                const std::string key = step.key;
                const TGateVerdict v = gate.Submit(key, step.policy, [&ran, key] { ran.push_back(key); });
                EXPECT_EQ(v, *step.verdict) << c.name << ": " << key;
            } else {
                ActionGate::Deferred next;
                if (gate.TakeNext(next)) {
                    EXPECT_EQ(gate.Submit(next.Key, apDefer, next.Action), gvRan) << c.name;
                }
            }
        }
        EXPECT_EQ(ran, c.ran) << c.name;
        EXPECT_EQ(busyLog, c.busyLog) << c.name;
        EXPECT_EQ(gate.Waiting(), 0u) << c.name;
    }
}

TEST(SessionLog, OwnInitiativeCommands)
{
    for (const char* own : { "OPTS UTF8 ON", "FEAT", "NOOP", "EPSV", "SIZE a.txt" })
        EXPECT_TRUE(IsOwnInitiativeCommand(own)) << own;
    for (const char* user : { "RETR a", "STOR a", "DELE a", "CWD x", "SITE CHMOD 755 a", "OPTSX", "" })
        EXPECT_FALSE(IsOwnInitiativeCommand(user)) << user;
}
