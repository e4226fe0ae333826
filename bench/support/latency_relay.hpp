// Starts latency_relay.py (beside this header) in front of an FTP server on
// loopback and reads its counts when it stops. Blocking, for benches.
#pragma once

#include "peer.hpp"
#include "peer_start.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

struct RelayCounts {
    long long control = 0, data = 0, toServer = 0, toClient = 0;
    std::map<std::string, long long> commands; // by verb
    long long Commands() const
    {
        long long n = 0;
        for (const auto& [verb, count] : commands)
            n += count;
        return n;
    }
};

class LatencyRelay {
public:
    // delayMs each way; rateMbit per direction over all connections (0: none).
    bool Start(int serverPort, double delayMs, double rateMbit = 0)
    {
        m_counts = m_dir / "counts.txt";
        return testsupport::StartOnFreePort(m_port, [&](int port) {
            std::vector<std::string> argv = {"/usr/bin/python3",
                                             (testsupport::SourceDir() / "bench/support/latency_relay.py").string(),
                                             "--target", "127.0.0.1:" + std::to_string(serverPort), "--delay",
                                             std::to_string(delayMs), "--listen", std::to_string(port), "--counts",
                                             m_counts.string()};
            if (rateMbit > 0)
                argv.insert(argv.end(), {"--rate", std::to_string(rateMbit)});
            return m_proc.StartAndWait(argv, "127.0.0.1", port);
        });
    }
    int Port() const { return m_port; }
    std::string Log() const { return m_proc.Log(); }

    // Stops the relay; its counts of the whole run.
    RelayCounts Stop()
    {
        m_proc.Stop();
        RelayCounts c;
        std::ifstream in(m_counts);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string key, verb;
            long long n = 0;
            words >> key;
            if (key == "command" && words >> verb >> n)
                c.commands[verb] = n;
            else if (words >> n)
                (key == "control"           ? c.control
                 : key == "data"            ? c.data
                 : key == "bytes_to_server" ? c.toServer
                                            : c.toClient) = n;
        }
        return c;
    }

private:
    testsupport::TempDir m_dir;
    testsupport::PeerProcess m_proc;
    std::filesystem::path m_counts;
    int m_port = 0;
};

} // namespace bench
