// SftpSession's worker, its connection: libssh's session, the host key
// check, the log-in and the start of SFTP. Runs on the session's thread.
#include "app/session/SftpWorker.hpp"

#include "app/core/SafeFile.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>

namespace app {

using namespace sftpworker;
using sftp::Reader;

void SftpSession::Worker::Log(const std::string& line)
{
    o.Post([owner = &o, line] {
        if (owner->m_events.Log)
            owner->m_events.Log(line);
    });
}

namespace {

// A question answered by typing (OK or Cancel); echo: what is typed is shown.
RemoteSession::Question InputQuestion(std::string text, bool echo)
{
    RemoteSession::Question q;
    q.Text = std::move(text);
    q.Buttons = { "OK", "Cancel" };
    q.Input = true;
    q.Echo = echo;
    return q;
}

} // namespace

std::pair<std::size_t, std::string> SftpSession::Worker::Ask(RemoteSession::Question q)
{
    struct Slot {
        std::mutex mutex;
        std::condition_variable cond;
        bool answered = false;
        std::size_t button = 0;
        std::string text;
    };
    auto slot = std::make_shared<Slot>();
    const std::size_t cancel = q.Buttons.empty() ? 0 : q.Buttons.size() - 1;
    o.Post([owner = &o, q, slot, cancel] {
        RemoteSession::Answer answer = [slot](std::size_t button, const std::string& text) {
            std::lock_guard lock(slot->mutex);
            if (slot->answered)
                return;
            slot->answered = true;
            slot->button = button;
            slot->text = text;
            slot->cond.notify_all();
        };
        if (owner->m_events.Ask)
            owner->m_events.Ask(q, answer);
        else
            answer(cancel, {});
    });
    std::unique_lock lock(slot->mutex);
    while (!slot->answered && !o.m_stop)
        slot->cond.wait_for(lock, std::chrono::milliseconds(kSliceMs));
    if (!slot->answered)
        return { cancel, {} };
    return { slot->button, std::move(slot->text) };
}

SessionResult SftpSession::Worker::Fail(const std::string& message)
{
    SessionResult r;
    r.Message = message;
    return r;
}

SessionResult SftpSession::Worker::Lost(const std::string& message)
{
    const bool was = m_ssh != nullptr;
    Close();
    if (was) {
        Log(message);
        o.Post([owner = &o] { owner->Disconnected(); });
    }
    return Fail(message);
}

void SftpSession::Worker::PublishSocket()
{
    std::lock_guard lock(o.m_mutex);
    if (o.m_fd >= 0 || !m_ssh)
        return;
    o.m_fd = ssh_get_fd(m_ssh);
    if (o.m_fd >= 0 && o.m_stop)
        ::shutdown(o.m_fd, SHUT_RDWR);
}

void SftpSession::Worker::Close()
{
    m_pending.clear();
    m_openHandle.clear();
    m_inBegin = m_inEnd = 0;
    if (m_channel) {
        if (!o.m_stop)
            ssh_channel_close(m_channel);
        ssh_channel_free(m_channel);
        m_channel = nullptr;
    }
    if (m_ssh) {
        {
            std::lock_guard lock(o.m_mutex);
            o.m_fd = -1;
        }
        if (!o.m_stop)
            ssh_disconnect(m_ssh);
        ssh_free(m_ssh);
        m_ssh = nullptr;
    }
}

// ---- connection and log-in

SessionResult SftpSession::Worker::Connect()
{
    Close();
    const SftpSettings& s = o.m_settings;
    std::string& sshDir = m_sshDir;
    sshDir = s.SshDir;
    if (sshDir.empty()) {
        const char* home = std::getenv("HOME");
        sshDir = std::string(home ? home : "") + "/.ssh";
    }
    m_ssh = ssh_new();
    if (!m_ssh)
        return Fail("Cannot start an SSH session.");
    // Only the user's own config, read below; no system-wide surprises.
    int off = 0, on = 1;
    ssh_options_set(m_ssh, SSH_OPTIONS_PROCESS_CONFIG, &off);
    ssh_options_set(m_ssh, SSH_OPTIONS_SSH_DIR, sshDir.c_str());
    ssh_options_set(m_ssh, SSH_OPTIONS_HOST, s.Host.c_str());
    // AES-GCM first: with the processor's AES instructions it costs both
    // ends less than ChaCha20 at the same strength. A Ciphers line of the
    // config still wins.
    const char* ciphers = "aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,"
                          "aes128-ctr,aes192-ctr,aes256-ctr";
    ssh_options_set(m_ssh, SSH_OPTIONS_CIPHERS_C_S, ciphers);
    ssh_options_set(m_ssh, SSH_OPTIONS_CIPHERS_S_C, ciphers);
    // The config maps the name the user typed (HostName, Port, User,
    // IdentityFile, ProxyJump) as OpenSSH does; what the site says
    // explicitly wins: its user, and its port unless it is the default.
    const std::string config = sshDir + "/config";
    if (FileExists(config) && ssh_options_parse_config(m_ssh, config.c_str()) != SSH_OK)
        Log("Cannot read " + config + ".");
    if (!s.User.empty())
        ssh_options_set(m_ssh, SSH_OPTIONS_USER, s.User.c_str());
    if (s.Port != 22 && s.Port > 0) {
        unsigned int port = unsigned(s.Port);
        ssh_options_set(m_ssh, SSH_OPTIONS_PORT, &port);
    }
    const std::string userKnown = sshDir + "/known_hosts";
    const std::string ownKnown = s.SettingsDir + "/known_hosts";
    ssh_options_set(m_ssh, SSH_OPTIONS_KNOWNHOSTS, userKnown.c_str());
    ssh_options_set(m_ssh, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, ownKnown.c_str());
    ssh_options_set(m_ssh, SSH_OPTIONS_NODELAY, &on);
    long timeout = s.Timeout;
    ssh_options_set(m_ssh, SSH_OPTIONS_TIMEOUT, &timeout);

    char* host = nullptr;
    unsigned int port = 22;
    ssh_options_get(m_ssh, SSH_OPTIONS_HOST, &host);
    ssh_options_get_port(m_ssh, &port);
    m_host = std::string(host ? host : s.Host) + ":" + std::to_string(port);
    ssh_string_free_char(host);

    std::memset(&m_callbacks, 0, sizeof m_callbacks);
    ssh_callbacks_init(&m_callbacks);
    m_callbacks.userdata = this;
    m_callbacks.auth_function = [](const char*, char* buf, std::size_t len, int, int, void* self) {
        return static_cast<Worker*>(self)->Passphrase(buf, len);
    };
    // The socket is known from the first step of the connection on: a
    // session destroyed while connecting shuts it down at once.
    m_callbacks.connect_status_function
        = [](void* self, float) { static_cast<Worker*>(self)->PublishSocket(); };
    ssh_set_callbacks(m_ssh, &m_callbacks);

    Log("Connecting to " + m_host + " ...");
    if (ssh_connect(m_ssh) != SSH_OK) {
        const std::string why = ssh_get_error(m_ssh);
        Close();
        return Fail("Cannot connect to " + m_host + ": " + why);
    }
    PublishSocket();
    if (const char* banner = ssh_get_serverbanner(m_ssh))
        Log(std::string("Server: ") + banner);
    std::string error;
    if (!CheckHostKey(error) || !LogIn(error) || !OpenSftp(error)) {
        if (o.m_stop || !m_ssh)
            return Lost(error.empty() ? "The connection was closed." : error);
        Close();
        return Fail(error);
    }
    Log("Logged in; the folder is " + m_cwd + ".");
    return Success();
}

bool SftpSession::Worker::CheckHostKey(std::string& error)
{
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(m_ssh, &key) != SSH_OK) {
        error = "The server sent no host key.";
        return false;
    }
    unsigned char* hash = nullptr;
    std::size_t hashLen = 0;
    std::string fingerprint, type = ssh_key_type_to_char(ssh_key_type(key));
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLen) == SSH_OK) {
        char* fp = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hashLen);
        fingerprint = fp ? fp : "";
        ssh_string_free_char(fp);
        ssh_clean_pubkey_hash(&hash);
    }
    ssh_key_free(key);
    const ssh_known_hosts_e state = ssh_session_is_known_server(m_ssh);
    if (state == SSH_KNOWN_HOSTS_OK)
        return true;
    if (state == SSH_KNOWN_HOSTS_ERROR) {
        error = std::string("Cannot check the host key: ") + ssh_get_error(m_ssh);
        return false;
    }
    const bool changed = state == SSH_KNOWN_HOSTS_CHANGED || state == SSH_KNOWN_HOSTS_OTHER;
    if (!changed && !fingerprint.empty() && fingerprint == o.m_settings.AcceptedKey) {
        Log("Host key " + fingerprint + " accepted for this site earlier.");
        return true;
    }
    RemoteSession::Question q;
    q.Buttons = { "Connect once", "Always trust", "Cancel" };
    if (changed) {
        q.Warning = true;
        q.Default = 2;
        q.Text = "WARNING: the host key of " + m_host
            + " has CHANGED since it was trusted.\n"
              "Someone may be listening in on this connection, or the server's key was replaced.\n\n"
              "Key type: "
            + type + "\nFingerprint: " + fingerprint + "\n\nConnect only if you know why the key changed.";
    } else {
        q.Text = "The host key of " + m_host + " is not known.\n\nKey type: " + type
            + "\nFingerprint: " + fingerprint + "\n\nConnect only if this is the server's key.";
    }
    const std::size_t button = Ask(q).first;
    if (o.m_stop) {
        error = "The connection was closed.";
        return false;
    }
    if (button == 0) {
        o.Post([owner = &o, fingerprint] { owner->m_acceptedKey = fingerprint; });
        Log("Host key " + fingerprint + " accepted once.");
        return true;
    }
    if (button == 1) {
        TrustForGood(type);
        return true;
    }
    error = "The host key of " + m_host + " was not trusted.";
    return false;
}

void SftpSession::Worker::TrustForGood(const std::string& type)
{
    char* entry = nullptr;
    if (ssh_session_export_known_hosts_entry(m_ssh, &entry) != SSH_OK || !entry) {
        Log(std::string("Cannot keep the host key: ") + ssh_get_error(m_ssh));
        return;
    }
    std::string line = entry;
    ssh_string_free_char(entry);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    const std::string hostField = line.substr(0, line.find(' '));
    const std::string path = o.m_settings.SettingsDir + "/known_hosts";
    std::vector<std::string> lines, kept;
    ReadLines(path, lines);
    // A key of the same type for the same host is replaced.
    for (const std::string& l : lines) {
        const std::size_t sp = l.find(' ');
        const std::string field = l.substr(0, sp);
        const std::string keyType
            = sp == std::string::npos ? "" : l.substr(sp + 1, l.find(' ', sp + 1) - sp - 1);
        if (!(field == hostField && keyType == type))
            kept.push_back(l);
    }
    kept.push_back(line);
    std::string text;
    for (const std::string& l : kept)
        text += l + "\n";
    std::error_code ec;
    std::filesystem::create_directories(o.m_settings.SettingsDir, ec);
    std::string error;
    if (WriteFileAtomic(path, text, 0600, &error))
        Log("Host key kept in " + path + ".");
    else
        Log("Cannot keep the host key: " + error);
}

bool SftpSession::Worker::LogIn(std::string& error)
{
    std::vector<std::string> tried;
    int rc = ssh_userauth_none(m_ssh, nullptr);
    if (rc == SSH_AUTH_SUCCESS)
        return true;
    if (rc == SSH_AUTH_ERROR) {
        error = std::string("Log-in failed: ") + ssh_get_error(m_ssh);
        return false;
    }
    const auto offered = [&] { return ssh_userauth_list(m_ssh, nullptr); };
    const int first = offered();
    std::string offers;
    for (auto [bit, name] : { std::pair { SSH_AUTH_METHOD_PUBLICKEY, "publickey" },
             { SSH_AUTH_METHOD_INTERACTIVE, "keyboard-interactive" },
             { SSH_AUTH_METHOD_PASSWORD, "password" } })
        if (first & int(bit))
            offers += std::string(offers.empty() ? "" : ", ") + name;
    const auto step = [&](int result, const char* name) {
        tried.push_back(name);
        if (result == SSH_AUTH_SUCCESS) {
            Log(std::string("Logged in with ") + name + ".");
            return true;
        }
        return false;
    };
    const auto broken = [&] { return o.m_stop || rc == SSH_AUTH_ERROR; };

    if (offered() & SSH_AUTH_METHOD_PUBLICKEY) {
        rc = KeyAuth();
        tried.push_back("public keys (" + m_keysTried + ")");
        if (rc == SSH_AUTH_SUCCESS)
            return true;
    }
    if (!broken() && (offered() & SSH_AUTH_METHOD_INTERACTIVE)) {
        bool usedPassword = false;
        rc = KeyboardAuth(usedPassword);
        if (step(rc, "keyboard-interactive"))
            return true;
    }
    if (!broken() && (offered() & SSH_AUTH_METHOD_PASSWORD)) {
        rc = PasswordAuth();
        if (rc != SSH_AUTH_DENIED + 100 && step(rc, "password"))
            return true;
    }
    if (o.m_stop)
        return false;
    if (rc == SSH_AUTH_ERROR) {
        error = std::string("Log-in failed: ") + ssh_get_error(m_ssh);
        return false;
    }
    std::string list;
    for (const std::string& t : tried)
        list += (list.empty() ? "" : ", ") + t;
    error = "The server refused the log-in. Tried: " + (list.empty() ? std::string("nothing usable") : list)
        + ". The server offers: " + (offers.empty() ? std::string("nothing this program knows") : offers)
        + ".";
    return false;
}

int SftpSession::Worker::KeyAuth()
{
    // libssh walks the agent's keys, then the key files: the config's
    // IdentityFile lines and id_ed25519, id_ecdsa, id_rsa in the ssh folder
    // (RSA keys sign with rsa-sha2). A key file's public half is offered
    // first, so a passphrase is asked only for a key the server would take.
    std::string socket = o.m_settings.AgentSocket;
    if (socket.empty()) {
        const char* env = std::getenv("SSH_AUTH_SOCK");
        socket = env ? env : "";
    }
    const bool agent = !socket.empty() && socket != "none";
    // libssh falls back to $SSH_AUTH_SOCK when no socket is set: "no agent"
    // is a socket that is not there.
    const std::string useSocket = agent ? socket : m_sshDir + "/.no-agent-socket";
    ssh_options_set(m_ssh, SSH_OPTIONS_IDENTITY_AGENT, useSocket.c_str());
    std::string files;
    for (const char* name : { "id_ed25519", "id_ecdsa", "id_rsa" })
        if (FileExists(m_sshDir + "/" + name))
            files += std::string(files.empty() ? "" : ", ") + name;
    m_keysTried
        = std::string(agent ? "the agent" : "no agent") + "; key files: " + (files.empty() ? "none" : files);
    m_passphraseAsked.clear();
    const int rc = ssh_userauth_publickey_auto(m_ssh, nullptr, nullptr);
    if (rc == SSH_AUTH_SUCCESS)
        Log("Logged in with a public key (" + m_keysTried + ").");
    return rc;
}

int SftpSession::Worker::Passphrase(char* buf, std::size_t len)
{
    char* identity = nullptr;
    ssh_userauth_publickey_auto_get_current_identity(m_ssh, &identity);
    const std::string file = identity ? identity : "";
    ssh_string_free_char(identity);
    // Asked once per key file and connection; never kept.
    if (o.m_stop || m_passphraseAsked.count(file) || len == 0)
        return -1;
    m_passphraseAsked.insert(file);
    auto [button, passphrase]
        = Ask(InputQuestion("The key file \"" + file + "\" is protected by a passphrase.\nPassphrase:", false));
    if (button != 0 || passphrase.size() >= len) {
        std::fill(passphrase.begin(), passphrase.end(), '\0');
        return -1;
    }
    std::memcpy(buf, passphrase.c_str(), passphrase.size() + 1);
    std::fill(passphrase.begin(), passphrase.end(), '\0');
    return 0;
}

int SftpSession::Worker::KeyboardAuth(bool& usedPassword)
{
    const std::string& password = o.m_settings.Password;
    int rc = ssh_userauth_kbdint(m_ssh, nullptr, nullptr);
    for (int round = 0; rc == SSH_AUTH_INFO && round < 20; ++round) {
        const int n = ssh_userauth_kbdint_getnprompts(m_ssh);
        const std::string name = ssh_userauth_kbdint_getname(m_ssh) ? ssh_userauth_kbdint_getname(m_ssh) : "";
        const std::string info
            = ssh_userauth_kbdint_getinstruction(m_ssh) ? ssh_userauth_kbdint_getinstruction(m_ssh) : "";
        for (int i = 0; i < n; ++i) {
            char echo = 0;
            const char* p = ssh_userauth_kbdint_getprompt(m_ssh, unsigned(i), &echo);
            const std::string prompt = p ? p : "";
            std::string answer;
            if (!echo && !usedPassword && !password.empty()
                && Lower(prompt).find("password") != std::string::npos) {
                answer = password; // the site's password, once
                usedPassword = true;
            } else {
                std::string text;
                for (const std::string& part : { name, info })
                    if (!part.empty())
                        text += part + "\n";
                auto [button, typed] = Ask(InputQuestion(text + prompt, echo != 0));
                if (button != 0 || o.m_stop)
                    return SSH_AUTH_DENIED;
                answer = std::move(typed);
            }
            ssh_userauth_kbdint_setanswer(m_ssh, unsigned(i), answer.c_str());
            std::fill(answer.begin(), answer.end(), '\0');
        }
        rc = ssh_userauth_kbdint(m_ssh, nullptr, nullptr);
    }
    return rc;
}

int SftpSession::Worker::PasswordAuth()
{
    std::string password = o.m_settings.Password;
    if (password.empty()) {
        auto [button, typed] = Ask(InputQuestion("Password for " + m_host + ":", false));
        if (button != 0 || o.m_stop)
            return SSH_AUTH_DENIED + 100;
        password = std::move(typed);
    }
    const int rc = ssh_userauth_password(m_ssh, nullptr, password.c_str());
    std::fill(password.begin(), password.end(), '\0');
    return rc;
}

bool SftpSession::Worker::OpenSftp(std::string& error)
{
    m_channel = ssh_channel_new(m_ssh);
    if (!m_channel || ssh_channel_open_session(m_channel) != SSH_OK
        || ssh_channel_request_subsystem(m_channel, "sftp") != SSH_OK) {
        error = std::string("The server offers no SFTP: ") + ssh_get_error(m_ssh);
        if (m_channel)
            ssh_channel_free(m_channel);
        m_channel = nullptr;
        return false;
    }
    m_in.resize(kReadWindow + sftp::kMaxPacket);
    m_inBegin = m_inEnd = 0;
    m_nextId = 1;
    m_posixRename = false;
    if (!Send(m_w.BeginInit(3).Bytes()) || Next(false) != nxPacket) {
        error = "The SFTP server did not answer.";
        return false;
    }
    Reader r(m_body);
    if (r.U8() != sftp::pkVersion) {
        error = "The SFTP server's first answer was not its version.";
        return false;
    }
    r.U32();
    while (r.Ok() && r.Left() > 0) {
        const std::string_view name = r.Str();
        const std::string_view data = r.Str();
        if (name == "posix-rename@openssh.com" && data == "1")
            m_posixRename = true;
    }
    return RealPath(".", m_cwd, error);
}

} // namespace app
