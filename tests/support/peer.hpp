// Real peers for tests: processes started on loopback, free ports, scratch
// folders. Everything here is blocking and meant for test set-up only.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// Folder of the peer scripts (tests/peers) and of the source tree.
std::filesystem::path PeersDir();
std::filesystem::path SourceDir();

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, then released).
int FreePort();
// True when this machine can listen on ::1 (IPv6 tests skip otherwise).
bool HaveIPv6Loopback();

// True when something accepts TCP connections on host:port.
bool PortOpen(const std::string& host, int port);

// Waits until host:port accepts connections; false after the time limit.
bool WaitForPort(const std::string& host, int port,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));

// Full path of a program on PATH (or in /usr/sbin, /sbin), empty when absent.
std::string FindProgram(const std::string& name);

// A scratch folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// A child process in its own process group; the group is killed (TERM, then
// KILL) when the object goes. Output goes to a log file that Log() returns,
// so a failing test can show what the peer said.
class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Starts argv[0] (searched on PATH) with extra environment variables.
    // Returns false when the program could not be started.
    bool Start(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env = {},
               const std::filesystem::path& workdir = {});
    // Start, then wait for host:port; on failure the process is stopped.
    bool StartAndWait(const std::vector<std::string>& argv, const std::string& host, int port,
                      const std::map<std::string, std::string>& env = {},
                      const std::filesystem::path& workdir = {});
    void Stop();
    bool Running() const;
    int Pid() const { return m_pid; }
    std::string Log() const;

private:
    int m_pid = -1;
    std::filesystem::path m_log;
};

// Writes a file whole (creating parent folders).
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& path);

} // namespace testsupport
