// Real SOCKS servers for tests, on 127.0.0.1 and a free port each:
// dante (SOCKS 4, 4A, 5; with or without user name and password) and
// microsocks (SOCKS 5). Blocking; for test set-up only.
#pragma once

#include "peer.hpp"

#include <string>

namespace testsupport {

// The system account dante's username method checks; created by
// scripts/setup.d/socks-account.sh. microsocks is given the same pair.
inline constexpr const char* kSocksUser = "tallowinsocks";
inline constexpr const char* kSocksPassword = "Socks-Test-Pass-7";

class DanteServer {
public:
    // requireAuth: SOCKS 5 with user name and password only; otherwise no
    // authentication (SOCKS 4, 4A and 5). False when it did not come up.
    bool Start(bool requireAuth);
    void Stop() { m_proc.Stop(); }
    int Port() const { return m_port; }
    std::string Log() const;

private:
    TempDir m_dir;
    PeerProcess m_proc;
    int m_port = 0;
};

class MicrosocksServer {
public:
    // With user and password set, clients must authenticate.
    bool Start(const std::string& user = {}, const std::string& password = {});
    void Stop() { m_proc.Stop(); }
    int Port() const { return m_port; }
    std::string Log() const { return m_proc.Log(); }

private:
    PeerProcess m_proc;
    int m_port = 0;
};

} // namespace testsupport
