// The one-action-at-a-time gate, by table: what runs, waits or is refused,
// and in which order the waiting ones come back.
#include "app/core/ActionGate.hpp"
#include "app/core/SessionLog.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace app;

TEST(ActionGate, Table)
{
    // h holds a scope, r releases the newest, n runs the next deferred action;
    // key/P=V submits with policy d(efer), r(efuse) or f(ree) and expects
    // + (ran), w (waits) or x (refused). busy: B and I per OnBusyChanged.
    const struct {
        const char *script, *ran, *busy;
    } cases[] = {
        { "connect/d=+ rename/r=+", "connect rename", "BIBI" },
        { "h refresh/d=w refresh/d=w rename/r=x stop/f=+ n r n n", "stop refresh", "BIBI" },
        { "h h a/d=w r n b/d=w r n n n", "a b", "BIBIBI" },
    };
    for (const auto& c : cases) {
        ActionGate gate;
        std::string ran, busy;
        std::vector<ActionGate::Scope> held;
        gate.OnBusyChanged = [&busy](bool b) { busy += b ? 'B' : 'I'; };
        std::istringstream script(c.script);
        for (std::string t; script >> t;) {
            ActionGate::Deferred next;
            if (t == "h") {
                held.push_back(gate.Hold());
            } else if (t == "r") {
                held.pop_back();
            } else if (t == "n") {
                if (gate.TakeNext(next)) {
                    EXPECT_EQ(gate.Submit(next.Key, apDefer, next.Action), gvRan) << c.script;
                }
            } else {
                const std::string key = t.substr(0, t.find('/'));
                const char p = t[key.size() + 1], v = t.back();
                const TGateVerdict verdict = gate.Submit(key,
                    p == 'd'       ? apDefer
                        : p == 'r' ? apRefuse
                                   : apFree,
                    [&ran, key] { ran += (ran.empty() ? "" : " ") + key; });
                EXPECT_EQ(verdict,
                    v == '+'       ? gvRan
                        : v == 'w' ? gvDeferred
                                   : gvRefused)
                    << c.script << ": " << t;
            }
        }
        EXPECT_EQ(ran, c.ran) << c.script;
        EXPECT_EQ(busy, c.busy) << c.script;
        EXPECT_EQ(gate.Waiting(), 0u) << c.script;
    }
}

TEST(SessionLog, OwnInitiativeCommands)
{
    for (const char* own : { "OPTS UTF8 ON", "FEAT", "NOOP", "EPSV", "SIZE a.txt" })
        EXPECT_TRUE(IsOwnInitiativeCommand(own)) << own;
    for (const char* user : { "RETR a", "STOR a", "DELE a", "CWD x", "SITE CHMOD 755 a", "OPTSX", "" })
        EXPECT_FALSE(IsOwnInitiativeCommand(user)) << user;
}
