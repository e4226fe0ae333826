// SSH peers for tests: OpenSSH's sshd with its own configuration, host key
// and authorized_keys in a scratch folder on a free loopback port (never the
// system's service), an ssh-agent, and keys made with ssh-keygen. Blocking,
// for test set-up only.
#pragma once

#include "peer.hpp"

#include <filesystem>
#include <string>

namespace testsupport {

// Makes a key pair (path and path.pub) with ssh-keygen; type "ed25519",
// "ecdsa" or "rsa". False when ssh-keygen failed.
bool MakeSshKey(
    const std::filesystem::path& path, const std::string& type, const std::string& passphrase = {});

// sshd, run as root, logging in the account scripts/setup.d/ftp-vsftpd.sh
// makes. SFTP is its internal server, starting in the served folder.
class Sshd {
public:
    static constexpr const char* kUser = "tallowinftp";
    static constexpr const char* kPassword = "tallowin-test";
    // Empty when the tests can run, else why not (not root, no sshd, no account).
    static std::string Unavailable();

    // sshd's AuthenticationMethods, e.g. "publickey" (before Start).
    void SetAuthenticationMethods(std::string methods) { m_methods = std::move(methods); }
    // Lets the key whose public half is at pub in (before or after Start).
    void Authorize(const std::filesystem::path& pub);
    // Serves root (handed to the account, with everything in it).
    bool Start(const std::filesystem::path& root);
    void Stop() { m_proc.Stop(); }
    // Kills every connection's processes (sshd puts them in sessions of
    // their own, so Stop leaves them); the listener stays.
    void KillConnections();
    int Port() const { return m_port; }
    std::string Log() const { return m_proc.Log(); }
    // The host key's public line ("ssh-ed25519 AAAA...") and its known_hosts
    // line for this port.
    std::string HostKey() const;
    std::string KnownHostsLine() const;

private:
    TempDir m_dir;
    PeerProcess m_proc;
    int m_port = 0;
    std::string m_methods;
};

// Hands path (and what is in it) to the sshd account, so that the served
// user can read, write and delete it.
void GiveToSshUser(const std::filesystem::path& path);

// ssh-agent on a socket of its own.
class SshAgent {
public:
    bool Start();
    // ssh-add of an unencrypted key file; false when it failed.
    bool Add(const std::filesystem::path& key);
    std::string Socket() const { return (m_dir / "agent.sock").string(); }

private:
    TempDir m_dir;
    PeerProcess m_proc;
};

} // namespace testsupport
