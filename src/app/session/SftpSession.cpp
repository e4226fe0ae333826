// SftpSession: the owner's side (hand a job to the worker, run what it
// posts back) and the worker's side (libssh's connection, host key, log-in,
// and an SFTP version 3 client over the channel with pipelined reads and
// writes: libssh's own sftp layer writes one block per round trip).
#include "app/session/SftpSession.hpp"

#include "app/core/SafeFile.hpp"
#include "app/session/SftpPacket.hpp"

#include <libssh/callbacks.h>
#include <libssh/libssh.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {

constexpr platform::UINT kPosted = platform::WM_USER + 41;

// Downloads keep this many reads in flight; the channel's receive window
// is kept as large as what they may bring.
constexpr std::size_t kMaxReads = 64;
constexpr std::uint32_t kMaxReadSize = 256 * 1024;
constexpr std::uint32_t kReadWindow = 128 * 1024 * kMaxReads;
// Uploads: writes under the servers' 256 KiB packet limit.
constexpr std::uint32_t kWriteSize = 128 * 1024;
constexpr std::size_t kMaxWrites = 64;
// Progress at most this often.
constexpr auto kProgressEvery = std::chrono::milliseconds(100);
// The slice a wait for the server is cut into, so that Abort and
// destruction are seen.
constexpr int kSliceMs = 100;

using Clock = std::chrono::steady_clock;
using sftp::Attrs;
using sftp::Reader;
using sftp::Writer;

std::string ErrnoText(const std::string& what, const std::string& path, int err)
{
    return what + " \"" + path + "\": " + std::strerror(err);
}

SessionResult Success()
{
    SessionResult r;
    r.Ok = true;
    return r;
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string LocalTimeText(std::uint32_t t)
{
    const std::time_t when = t;
    std::tm tm {};
    if (!localtime_r(&when, &tm))
        return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d.%02d.%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
        tm.tm_hour, tm.tm_min);
    return buf;
}

RemoteRow MakeRow(const std::string& name, const Attrs& own, const Attrs& target)
{
    RemoteRow row;
    row.name = name;
    row.exactName = true;
    row.subItems = 4;
    const bool folder = target.IsFolder();
    row.type = folder ? kTypeDirectory : kTypeFile;
    row.image = folder ? 0 : 1;
    if (target.flags & Attrs::kSize) {
        row.bytes = target.size;
        row.size = target.size ? std::to_string(target.size) : std::string();
    }
    if (target.flags & Attrs::kTimes)
        row.changed = LocalTimeText(target.mtime);
    if (own.flags & Attrs::kPermissions)
        row.perms = sftp::ModeText(own.permissions);
    const std::size_t dot = name.find('.');
    if (!folder && dot != std::string::npos)
        row.iconKey = Lower(name.substr(dot));
    return row;
}

// The byte ranges a download has written, merged: Whole() is where the
// first gap begins.
class Received {
public:
    explicit Received(std::uint64_t from) : m_from(from) {}
    void Add(std::uint64_t begin, std::uint64_t end)
    {
        if (begin >= end)
            return;
        auto it = m_ranges.upper_bound(begin);
        if (it != m_ranges.begin() && std::prev(it)->second >= begin) {
            --it;
            it->second = std::max(it->second, end);
        } else {
            it = m_ranges.emplace(begin, end).first;
        }
        for (auto after = std::next(it); after != m_ranges.end() && after->first <= it->second;) {
            it->second = std::max(it->second, after->second);
            after = m_ranges.erase(after);
        }
    }
    std::uint64_t Whole() const
    {
        const auto it = m_ranges.begin();
        return it != m_ranges.end() && it->first <= m_from ? std::max(it->second, m_from) : m_from;
    }
    std::uint64_t End() const { return m_ranges.empty() ? m_from : std::max(m_ranges.rbegin()->second, m_from); }

private:
    std::uint64_t m_from;
    std::map<std::uint64_t, std::uint64_t> m_ranges;
};

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

} // namespace

// ---------------------------------------------------------------------------
// The worker: everything below runs on the session's own thread.

class SftpSession::Worker {
public:
    explicit Worker(SftpSession& owner)
        : o(owner)
    { }
    ~Worker() { Close(); }

    SessionResult Connect();
    void Close();
    // Tells the owner the connection's socket, so destruction can shut it down.
    void PublishSocket();
    bool Connected() const { return m_channel != nullptr; }
    const std::string& Folder() const { return m_cwd; }

    SessionResult ChangeFolder(const std::string& folder);
    SessionResult List(const std::string& folder, std::vector<RemoteRow>& rows);
    SessionResult Get(const std::string& remote, const std::string& local, const TransferOptions& options);
    SessionResult Put(const std::string& local, const std::string& remote, const TransferOptions& options);
    SessionResult Simple(sftp::TPacket type, const std::string& path, const std::string& what);
    SessionResult Rename(const std::string& from, const std::string& to);
    SessionResult ChangeMode(const std::string& path, std::uint32_t mode);
    SessionResult Size(const std::string& path);

    // What a transfer left to tidy after its result went out: replies still
    // in flight, the handle to close.
    void Cleanup();

private:
    struct Pending {
        std::uint64_t offset;
        std::uint32_t length;
    };
    enum TNext { nxPacket, nxAborted, nxFailed };

    void Log(const std::string& line);
    // Asks the owner's user; the last button when nobody answers.
    std::pair<std::size_t, std::string> Ask(RemoteSession::Question q);
    SessionResult Fail(const std::string& message);
    // The connection broke: closed, the owner told, message returned.
    SessionResult Lost(const std::string& message);

    bool CheckHostKey(std::string& error);
    void TrustForGood(const std::string& type);
    bool LogIn(std::string& error);
    int KeyAuth();
    int Passphrase(char* buf, std::size_t len);
    int KeyboardAuth(bool& usedPassword);
    int PasswordAuth();
    bool OpenSftp(std::string& error);

    std::string Abs(const std::string& path) const;
    bool Send(const std::string& bytes);
    // The next whole packet's body into m_body. nxAborted only when
    // abortable and Abort was asked for.
    TNext Next(bool abortable);
    // Sends the request in m_w and reads until the reply with its id.
    bool Call(std::uint32_t id);
    std::uint32_t NewId() { return m_nextId++; }
    // The status reply in m_body as a result ("what: text" when it failed).
    SessionResult StatusResult(const std::string& what);
    bool OpenHandle(const std::string& path, std::uint32_t flags, std::string& handle, std::string& error);
    bool OpenDir(const std::string& path, std::string& handle, std::string& error);
    void CloseHandle(const std::string& handle);
    bool Stat(const std::string& path, Attrs& attrs, std::string& error, bool follow = true);
    bool RealPath(const std::string& path, std::string& out, std::string& error);
    // Reads the replies of the requests in m_pending and drops them.
    bool DrainPending();
    void Progress(const TransferOptions& options, std::int64_t count, bool force);

    SftpSession& o;
    ssh_session m_ssh = nullptr;
    ssh_channel m_channel = nullptr;
    std::string m_host; // as the log names it
    std::string m_sshDir;
    std::string m_keysTried; // for the refusal's text
    std::set<std::string> m_passphraseAsked; // key files asked for in this log-in
    ssh_callbacks_struct m_callbacks {};
    std::string m_cwd;
    std::uint32_t m_nextId = 1;
    bool m_posixRename = false;
    Writer m_w;
    std::vector<char> m_in; // received bytes
    std::size_t m_inBegin = 0, m_inEnd = 0;
    std::string_view m_body; // the last packet read (points into m_in)
    std::map<std::uint32_t, Pending> m_pending; // requests whose replies are still due
    std::string m_openHandle; // a transfer's handle still to close
    Clock::time_point m_lastProgress;
    bool m_movedTold = false; // the transfer's first bytes were told
};

void SftpSession::Worker::Log(const std::string& line)
{
    o.Post([owner = &o, line] {
        if (owner->m_events.Log)
            owner->m_events.Log(line);
    });
}

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
        o.Post([owner = &o] {
            if (!owner->m_connected)
                return;
            owner->m_connected = false;
            ++owner->m_generation;
            if (owner->m_events.Closed)
                owner->m_events.Closed();
        });
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
        q.Text = "WARNING: the host key of " + m_host + " has CHANGED since it was trusted.\n"
                 "Someone may be listening in on this connection, or the server's key was replaced.\n\n"
                 "Key type: " + type + "\nFingerprint: " + fingerprint
            + "\n\nConnect only if you know why the key changed.";
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
    RemoteSession::Question q;
    q.Text = "The key file \"" + file + "\" is protected by a passphrase.\nPassphrase:";
    q.Buttons = { "OK", "Cancel" };
    q.Input = true;
    q.Echo = false;
    auto [button, passphrase] = Ask(q);
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
                RemoteSession::Question q;
                for (const std::string& part : { name, info })
                    if (!part.empty())
                        q.Text += part + "\n";
                q.Text += prompt;
                q.Buttons = { "OK", "Cancel" };
                q.Input = true;
                q.Echo = echo != 0;
                auto [button, typed] = Ask(q);
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
        RemoteSession::Question q;
        q.Text = "Password for " + m_host + ":";
        q.Buttons = { "OK", "Cancel" };
        q.Input = true;
        q.Echo = false;
        auto [button, typed] = Ask(q);
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

// ---- the SFTP client

std::string SftpSession::Worker::Abs(const std::string& path) const
{
    if (path.empty())
        return m_cwd;
    if (path[0] == '/')
        return path;
    return JoinPath(m_cwd, path);
}

bool SftpSession::Worker::Send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (o.m_stop)
            return false;
        const int n = ssh_channel_write(m_channel, bytes.data() + done, std::uint32_t(bytes.size() - done));
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

SftpSession::Worker::TNext SftpSession::Worker::Next(bool abortable)
{
    auto quiet = Clock::now();
    for (;;) {
        const std::string_view have(m_in.data() + m_inBegin, m_inEnd - m_inBegin);
        if (auto len = sftp::PacketLength(have)) {
            if (*len == 0 || *len > sftp::kMaxPacket) {
                Lost("The SFTP server sent a packet this program cannot read.");
                return nxFailed;
            }
            if (have.size() >= 4 + *len) {
                m_body = have.substr(4, *len);
                m_inBegin += 4 + *len;
                return nxPacket;
            }
        }
        if (abortable && o.m_abort)
            return nxAborted;
        if (o.m_stop) {
            Lost("The connection was closed.");
            return nxFailed;
        }
        // Room for the rest of the packet and the window's worth behind it.
        if (m_inBegin > 0 && m_inEnd + kReadWindow > m_in.size()) {
            std::memmove(m_in.data(), m_in.data() + m_inBegin, m_inEnd - m_inBegin);
            m_inEnd -= m_inBegin;
            m_inBegin = 0;
        }
        const std::uint32_t room = std::uint32_t(m_in.size() - m_inEnd);
        const int n = ssh_channel_read_timeout(m_channel, m_in.data() + m_inEnd, room, 0, kSliceMs);
        if (n > 0) {
            m_inEnd += std::size_t(n);
            quiet = Clock::now();
            continue;
        }
        if (n < 0 || ssh_channel_is_eof(m_channel) || !ssh_channel_is_open(m_channel)) {
            const char* why = ssh_get_error(m_ssh);
            Lost(std::string("The connection was lost")
                + (why && *why ? std::string(": ") + why : std::string()) + ".");
            return nxFailed;
        }
        if (Clock::now() - quiet > std::chrono::seconds(o.m_settings.Timeout)) {
            Lost("The server did not answer for " + std::to_string(o.m_settings.Timeout) + " seconds.");
            return nxFailed;
        }
    }
}

bool SftpSession::Worker::Call(std::uint32_t id)
{
    if (!Send(m_w.Bytes())) {
        Lost("The connection was lost while sending.");
        return false;
    }
    for (;;) {
        if (Next(false) != nxPacket)
            return false;
        const auto h = sftp::ReadHeader(m_body);
        if (h && h->id == id)
            return true;
        m_pending.erase(h ? h->id : 0); // a late reply of an abandoned request
    }
}

SessionResult SftpSession::Worker::StatusResult(const std::string& what)
{
    Reader r(m_body);
    const std::uint8_t type = r.U8();
    r.U32();
    if (type != sftp::pkStatus)
        return Fail(what + ": the server's answer was not a status.");
    const std::uint32_t code = r.U32();
    const std::string_view text = r.Str();
    if (code == sftp::stOk)
        return Success();
    return Fail(what + ": " + sftp::StatusText(code, text));
}

bool SftpSession::Worker::OpenHandle(
    const std::string& path, std::uint32_t flags, std::string& handle, std::string& error)
{
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkOpen, id).Str(path).U32(flags).Attr(Attrs {});
    if (!Call(id)) {
        error = "The connection was lost.";
        return false;
    }
    Reader r(m_body);
    if (r.U8() == sftp::pkHandle) {
        r.U32();
        handle = std::string(r.Str());
        return r.Ok();
    }
    error = StatusResult("Cannot open \"" + path + "\"").Message;
    return false;
}

bool SftpSession::Worker::OpenDir(const std::string& path, std::string& handle, std::string& error)
{
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkOpendir, id).Str(path);
    if (!Call(id)) {
        error = "The connection was lost.";
        return false;
    }
    Reader r(m_body);
    if (r.U8() == sftp::pkHandle) {
        r.U32();
        handle = std::string(r.Str());
        return r.Ok();
    }
    error = StatusResult("Cannot list \"" + path + "\"").Message;
    return false;
}

void SftpSession::Worker::CloseHandle(const std::string& handle)
{
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkClose, id).Str(handle);
    Call(id);
}

bool SftpSession::Worker::Stat(const std::string& path, Attrs& attrs, std::string& error, bool follow)
{
    const std::uint32_t id = NewId();
    m_w.Begin(follow ? sftp::pkStat : sftp::pkLstat, id).Str(path);
    if (!Call(id)) {
        error = "The connection was lost.";
        return false;
    }
    Reader r(m_body);
    if (r.U8() == sftp::pkAttrs) {
        r.U32();
        attrs = r.Attr();
        return r.Ok();
    }
    error = StatusResult("\"" + path + "\"").Message;
    return false;
}

bool SftpSession::Worker::RealPath(const std::string& path, std::string& out, std::string& error)
{
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkRealpath, id).Str(path);
    if (!Call(id)) {
        error = "The connection was lost.";
        return false;
    }
    Reader r(m_body);
    if (r.U8() == sftp::pkName) {
        r.U32();
        if (r.U32() >= 1) {
            out = std::string(r.Str());
            if (r.Ok() && !out.empty())
                return true;
        }
    }
    error = StatusResult("\"" + path + "\"").Message;
    if (error.empty())
        error = "\"" + path + "\": the server could not resolve it.";
    return false;
}

SessionResult SftpSession::Worker::ChangeFolder(const std::string& folder)
{
    std::string real, error;
    Attrs attrs;
    if (!RealPath(Abs(folder), real, error) || !Stat(real, attrs, error))
        return Fail(error);
    if (!attrs.IsFolder())
        return Fail("\"" + real + "\" is not a folder.");
    m_cwd = real;
    return Success();
}

SessionResult SftpSession::Worker::List(const std::string& folder, std::vector<RemoteRow>& rows)
{
    const std::string path = Abs(folder);
    std::string handle, error;
    if (!OpenDir(path, handle, error))
        return Fail(error);
    std::vector<sftp::NameEntry> entries;
    SessionResult result = Success();
    for (;;) {
        const std::uint32_t id = NewId();
        m_w.Begin(sftp::pkReaddir, id).Str(handle);
        if (!Call(id))
            return Fail("The connection was lost while listing.");
        Reader r(m_body);
        if (r.U8() != sftp::pkName) {
            Reader s(m_body);
            s.U8();
            s.U32();
            if (s.U32() != sftp::stEof)
                result = StatusResult("Cannot list \"" + path + "\"");
            break;
        }
        r.U32();
        const std::uint32_t count = r.U32();
        for (std::uint32_t i = 0; i < count && r.Ok(); ++i) {
            sftp::NameEntry e;
            e.name = r.Str();
            e.longName = r.Str();
            e.attrs = r.Attr();
            if (r.Ok() && e.name != "." && e.name != "..")
                entries.push_back(std::move(e));
        }
        if (!r.Ok()) {
            result = Fail("The server's listing of \"" + path + "\" could not be read.");
            break;
        }
    }
    CloseHandle(handle);
    if (!result.Ok || !Connected())
        return result;
    // Links take their target's type: their STATs go out together.
    std::map<std::uint32_t, std::size_t> linkOf;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].attrs.IsLink())
            continue;
        const std::uint32_t id = NewId();
        if (!Send(m_w.Begin(sftp::pkStat, id).Str(JoinPath(path, entries[i].name)).Bytes()))
            return Lost("The connection was lost while listing.");
        linkOf[id] = i;
    }
    std::vector<Attrs> targets(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        targets[i] = entries[i].attrs;
    while (!linkOf.empty()) {
        if (Next(false) != nxPacket)
            return Fail("The connection was lost while listing.");
        Reader r(m_body);
        const std::uint8_t type = r.U8();
        const auto it = linkOf.find(r.U32());
        if (it == linkOf.end())
            continue;
        if (type == sftp::pkAttrs) {
            const Attrs target = r.Attr();
            if (r.Ok())
                targets[it->second] = target;
        }
        linkOf.erase(it);
    }
    rows.clear();
    rows.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        rows.push_back(MakeRow(entries[i].name, entries[i].attrs, targets[i]));
    SortListing(rows);
    return result;
}

void SftpSession::Worker::Progress(const TransferOptions& options, std::int64_t count, bool force)
{
    if (!options.Progress)
        return;
    // The first bytes are told at once, then at most every kProgressEvery.
    const auto now = Clock::now();
    if (!force && m_movedTold && now - m_lastProgress < kProgressEvery)
        return;
    m_movedTold = m_movedTold || !force;
    m_lastProgress = now;
    o.Post([progress = options.Progress, count] { progress(count); });
}

bool SftpSession::Worker::DrainPending()
{
    while (!m_pending.empty()) {
        if (Next(false) != nxPacket)
            return false;
        const auto h = sftp::ReadHeader(m_body);
        m_pending.erase(h ? h->id : 0);
    }
    return true;
}

void SftpSession::Worker::Cleanup()
{
    if (!Connected())
        return;
    if (!DrainPending())
        return;
    if (!m_openHandle.empty()) {
        const std::string handle = std::move(m_openHandle);
        m_openHandle.clear();
        CloseHandle(handle);
    }
}

SessionResult SftpSession::Worker::Get(
    const std::string& remote, const std::string& local, const TransferOptions& options)
{
    const std::string path = Abs(remote);
    const std::int64_t offset = std::max<std::int64_t>(options.Offset, 0);
    std::string handle, error;
    if (!OpenHandle(path, sftp::kOpenRead, handle, error))
        return Fail(error);
    m_openHandle = handle;
    // The size tells where to stop asking; a short read or EOF still ends it.
    std::int64_t size = -1;
    {
        const std::uint32_t id = NewId();
        m_w.Begin(sftp::pkFstat, id).Str(handle);
        if (!Call(id))
            return Fail("The connection was lost.");
        Reader r(m_body);
        if (r.U8() == sftp::pkAttrs) {
            r.U32();
            const Attrs a = r.Attr();
            if (r.Ok() && (a.flags & Attrs::kSize))
                size = std::int64_t(a.size);
        }
    }
    const int fd = ::open(local.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (offset > 0 ? 0 : O_TRUNC), 0644);
    if (fd < 0)
        return Fail(ErrnoText("Cannot write", local, errno));
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer { fd };
    if (offset > 0 && ::ftruncate(fd, offset) != 0)
        return Fail(ErrnoText("Cannot write", local, errno));

    // Replies may leave gaps (a short read asked again later): the file is
    // only good up to the first one, and a transfer that ends early is cut
    // there so that a resume starts from whole data.
    Received got { std::uint64_t(offset) };
    struct CutOnFailure {
        int fd;
        const Received& got;
        bool ok = false;
        ~CutOnFailure()
        {
            if (!ok)
                (void)::ftruncate(fd, off_t(got.Whole()));
        }
    } cut { fd, got };
    std::uint64_t next = std::uint64_t(offset);
    std::uint64_t eofAt = UINT64_MAX; // the lowest offset the server said is past the end
    std::vector<Pending> retry;
    const std::uint32_t readSize = std::clamp<std::uint32_t>(o.m_settings.ReadSize, 1024, kMaxReadSize);
    m_movedTold = false;
    Progress(options, offset, true);
    const auto request = [&](std::uint64_t at, std::uint32_t length) {
        const std::uint32_t id = NewId();
        m_pending[id] = { at, length };
        return Send(m_w.Begin(sftp::pkRead, id).Str(handle).U64(at).U32(length).Bytes());
    };
    for (;;) {
        while (m_pending.size() < kMaxReads) {
            bool sent;
            if (!retry.empty()) {
                const Pending again = retry.back();
                retry.pop_back();
                if (again.offset >= eofAt)
                    continue;
                sent = request(again.offset, again.length);
            } else if (eofAt == UINT64_MAX && (size < 0 || next < std::uint64_t(size))) {
                sent = request(next, readSize);
                next += readSize;
            } else {
                break;
            }
            if (!sent)
                return Lost("The connection was lost while downloading.");
        }
        if (m_pending.empty())
            break;
        const TNext step = Next(true);
        if (step == nxAborted) {
            SessionResult r = Fail("The download was stopped.");
            r.Aborted = true;
            r.Value = std::int64_t(got.Whole());
            return r;
        }
        if (step == nxFailed)
            return Fail("The connection was lost while downloading \"" + path + "\".");
        Reader r(m_body);
        const std::uint8_t type = r.U8();
        const auto it = m_pending.find(r.U32());
        if (it == m_pending.end())
            continue;
        const Pending want = it->second;
        m_pending.erase(it);
        if (type == sftp::pkData) {
            const std::string_view data = r.Str();
            if (!r.Ok() || data.size() > want.length)
                return Fail("The server's data for \"" + path + "\" could not be read.");
            for (std::size_t done = 0; done < data.size();) {
                const ssize_t n
                    = ::pwrite(fd, data.data() + done, data.size() - done, off_t(want.offset + done));
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    return Fail(ErrnoText("Cannot write", local, errno));
                }
                done += std::size_t(n);
            }
            got.Add(want.offset, want.offset + data.size());
            // A short read: the rest of that range is asked for again.
            if (data.size() < want.length)
                retry.push_back({ want.offset + data.size(), std::uint32_t(want.length - data.size()) });
            Progress(options, std::int64_t(got.Whole()), false);
        } else if (type == sftp::pkStatus) {
            const std::uint32_t code = r.U32();
            if (code != sftp::stEof)
                return Fail("Cannot read \"" + path + "\": " + sftp::StatusText(code, r.Str()));
            eofAt = std::min(eofAt, want.offset);
        } else {
            return Fail("The server's answer for \"" + path + "\" could not be read.");
        }
    }
    m_openHandle.clear();
    CloseHandle(handle);
    if (!Connected())
        return Fail("The connection was lost while downloading \"" + path + "\".");
    if (got.Whole() != got.End())
        return Fail("The server left out part of \"" + path + "\".");
    cut.ok = true;
    Progress(options, std::int64_t(got.Whole()), true);
    SessionResult done = Success();
    done.Value = std::int64_t(got.Whole());
    return done;
}

SessionResult SftpSession::Worker::Put(
    const std::string& local, const std::string& remote, const TransferOptions& options)
{
    const std::string path = Abs(remote);
    const std::int64_t offset = std::max<std::int64_t>(options.Offset, 0);
    const int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Fail(ErrnoText("Cannot read", local, errno));
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer { fd };
    struct stat st { };
    if (::fstat(fd, &st) != 0)
        return Fail(ErrnoText("Cannot read", local, errno));
    const std::uint64_t size = std::uint64_t(st.st_size);
    if (std::uint64_t(offset) > size)
        return Fail("\"" + remote + "\" is larger on the server than \"" + local + "\" here.");
    std::string handle, error;
    const std::uint32_t flags = sftp::kOpenWrite | sftp::kOpenCreate | (offset > 0 ? 0 : sftp::kOpenTruncate);
    if (!OpenHandle(path, flags, handle, error))
        return Fail(error);
    m_openHandle = handle;
    std::uint64_t next = std::uint64_t(offset), acked = std::uint64_t(offset);
    m_movedTold = false;
    Progress(options, offset, true);
    for (;;) {
        while (next < size && m_pending.size() < kMaxWrites) {
            if (o.m_abort)
                break;
            const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(kWriteSize, size - next));
            const std::uint32_t id = NewId();
            char* data = m_w.Begin(sftp::pkWrite, id).Str(handle).U64(next).StrSpace(n);
            for (std::uint32_t done = 0; done < n;) {
                const ssize_t got = ::pread(fd, data + done, n - done, off_t(next + done));
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    return Fail(got < 0 ? ErrnoText("Cannot read", local, errno)
                                        : "\"" + local + "\" became shorter while it was sent.");
                done += std::uint32_t(got);
            }
            m_pending[id] = { next, n };
            if (!Send(m_w.Bytes()))
                return Lost("The connection was lost while uploading.");
            next += n;
        }
        if (m_pending.empty() && !o.m_abort)
            break;
        const TNext got = m_pending.empty() ? nxAborted : Next(true);
        if (got == nxAborted) {
            SessionResult r = Fail("The upload was stopped.");
            r.Aborted = true;
            r.Value = std::int64_t(acked);
            return r;
        }
        if (got == nxFailed)
            return Fail("The connection was lost while uploading \"" + path + "\".");
        Reader r(m_body);
        const std::uint8_t type = r.U8();
        const auto it = m_pending.find(r.U32());
        if (it == m_pending.end())
            continue;
        m_pending.erase(it);
        const std::uint32_t code = type == sftp::pkStatus ? r.U32() : sftp::stBadMessage;
        if (code != sftp::stOk)
            return Fail("Cannot write \"" + path + "\": " + sftp::StatusText(code, r.Str()));
        // Bytes count as written once every write before them is in (ids
        // grow with the offset, so the oldest pending write is the first).
        acked = m_pending.empty() ? next : m_pending.begin()->second.offset;
        Progress(options, std::int64_t(acked), false);
    }
    m_openHandle.clear();
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkClose, id).Str(handle);
    if (!Call(id))
        return Fail("The connection was lost while uploading \"" + path + "\".");
    SessionResult closed = StatusResult("Cannot write \"" + path + "\"");
    if (!closed.Ok)
        return closed;
    Progress(options, std::int64_t(size), true);
    closed.Value = std::int64_t(size);
    return closed;
}

SessionResult SftpSession::Worker::Simple(
    sftp::TPacket type, const std::string& path, const std::string& what)
{
    const std::uint32_t id = NewId();
    m_w.Begin(type, id).Str(Abs(path));
    if (type == sftp::pkMkdir)
        m_w.Attr(Attrs {});
    if (!Call(id))
        return Fail("The connection was lost.");
    return StatusResult(what + " \"" + path + "\"");
}

SessionResult SftpSession::Worker::Rename(const std::string& from, const std::string& to)
{
    const std::uint32_t id = NewId();
    // The OpenSSH extension replaces an existing target as FTP's rename
    // does; plain version 3 refuses one.
    if (m_posixRename)
        m_w.Begin(sftp::pkExtended, id).Str("posix-rename@openssh.com").Str(Abs(from)).Str(Abs(to));
    else
        m_w.Begin(sftp::pkRename, id).Str(Abs(from)).Str(Abs(to));
    if (!Call(id))
        return Fail("The connection was lost.");
    return StatusResult("Cannot rename \"" + from + "\" to \"" + to + "\"");
}

SessionResult SftpSession::Worker::ChangeMode(const std::string& path, std::uint32_t mode)
{
    Attrs a;
    a.flags = Attrs::kPermissions;
    a.permissions = mode;
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkSetstat, id).Str(Abs(path)).Attr(a);
    if (!Call(id))
        return Fail("The connection was lost.");
    return StatusResult("Cannot change the mode of \"" + path + "\"");
}

SessionResult SftpSession::Worker::Size(const std::string& path)
{
    Attrs a;
    std::string error;
    if (!Stat(Abs(path), a, error))
        return Fail(error);
    if (!(a.flags & Attrs::kSize))
        return Fail("The server did not tell the size of \"" + path + "\".");
    SessionResult r = Success();
    r.Value = std::int64_t(a.size);
    return r;
}

// ---------------------------------------------------------------------------
// The owner's side.

SftpSession::SftpSession(SftpSettings settings)
    : m_settings(std::move(settings))
{
    m_hwnd = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM, platform::LPARAM) {
        if (msg == kPosted)
            Drain();
    });
    m_worker = std::make_unique<Worker>(*this);
    m_thread = std::thread([this] { WorkerMain(); });
}

SftpSession::~SftpSession()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        // A blocking read or write inside libssh ends at once.
        if (m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR);
    }
    m_wake.notify_all();
    m_thread.join();
    m_worker.reset();
    platform::DeallocateHWnd(m_hwnd);
}

void SftpSession::WorkerMain()
{
    for (;;) {
        std::function<void(Worker&)> job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
            if (m_stop)
                break;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job(*m_worker);
    }
    m_worker->Close();
}

void SftpSession::Post(std::function<void()> fn)
{
    {
        std::lock_guard lock(m_mutex);
        m_outbox.push_back(std::move(fn));
    }
    platform::PostMessage(m_hwnd, kPosted, 0, 0);
}

void SftpSession::Drain()
{
    // One item per message: an item may destroy the session.
    std::function<void()> fn;
    {
        std::lock_guard lock(m_mutex);
        if (m_outbox.empty())
            return;
        fn = std::move(m_outbox.front());
        m_outbox.pop_front();
    }
    fn();
}

void SftpSession::Refuse(SessionDone done, const std::string& why)
{
    Post([done = std::move(done), why] {
        SessionResult r;
        r.Refused = true;
        r.Message = why;
        if (done)
            done(r);
    });
}

void SftpSession::Run(std::function<SessionResult(Worker&)> job, SessionDone done, bool transfer)
{
    if (m_done)
        return Refuse(std::move(done), "Another operation is in progress.");
    m_done = done ? std::move(done) : [](const SessionResult&) {};
    m_abort = false;
    m_transfer = transfer;
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back([this, job = std::move(job)](Worker& w) {
            const SessionResult r = job(w);
            Post([this, r, folder = w.Folder()] {
                m_folder = folder;
                SessionDone d = std::move(m_done);
                m_done = nullptr;
                m_transfer = false;
                d(r);
            });
            w.Cleanup();
        });
    }
    m_wake.notify_all();
}

void SftpSession::Connect(SessionDone done)
{
    Run(
        [this](Worker& w) {
            if (w.Connected()) {
                w.Close();
                Post([this] {
                    if (!m_connected)
                        return;
                    m_connected = false;
                    ++m_generation;
                    if (m_events.Closed)
                        m_events.Closed();
                });
            }
            SessionResult r = w.Connect();
            if (r.Ok)
                Post([this] {
                    m_connected = true;
                    ++m_generation;
                    if (m_events.Connected)
                        m_events.Connected();
                });
            return r;
        },
        std::move(done));
}

namespace {
// Operations other than Connect need the connection.
SessionResult NotConnected()
{
    SessionResult r;
    r.Refused = true;
    r.Message = "Not connected.";
    return r;
}
} // namespace

void SftpSession::CurrentFolder(std::function<void(const SessionResult&, const std::string&)> done)
{
    Run([](Worker& w) { return w.Connected() ? Success() : NotConnected(); },
        [this, done](const SessionResult& r) { done(r, r.Ok ? m_folder : std::string()); });
}

void SftpSession::ChangeFolder(const std::string& folder, SessionDone done)
{
    Run([folder](Worker& w) { return w.Connected() ? w.ChangeFolder(folder) : NotConnected(); },
        std::move(done));
}

void SftpSession::List(
    const std::string& folder, std::function<void(const SessionResult&, std::vector<RemoteRow>)> done)
{
    auto rows = std::make_shared<std::vector<RemoteRow>>();
    Run([folder, rows](Worker& w) { return w.Connected() ? w.List(folder, *rows) : NotConnected(); },
        [rows, done](
            const SessionResult& r) { done(r, r.Ok ? std::move(*rows) : std::vector<RemoteRow>()); });
}

void SftpSession::Get(
    const std::string& remote, const std::string& local, const TransferOptions& options, SessionDone done)
{
    Run([=](Worker& w) { return w.Connected() ? w.Get(remote, local, options) : NotConnected(); },
        std::move(done), true);
}

void SftpSession::Put(
    const std::string& local, const std::string& remote, const TransferOptions& options, SessionDone done)
{
    Run([=](Worker& w) { return w.Connected() ? w.Put(local, remote, options) : NotConnected(); },
        std::move(done), true);
}

void SftpSession::Delete(const std::string& path, SessionDone done)
{
    Run(
        [path](Worker& w) {
            return w.Connected() ? w.Simple(sftp::pkRemove, path, "Cannot delete") : NotConnected();
        },
        std::move(done));
}

void SftpSession::RemoveFolder(const std::string& path, SessionDone done)
{
    Run(
        [path](Worker& w) {
            return w.Connected() ? w.Simple(sftp::pkRmdir, path, "Cannot remove the folder") : NotConnected();
        },
        std::move(done));
}

void SftpSession::MakeFolder(const std::string& path, SessionDone done)
{
    Run(
        [path](Worker& w) {
            return w.Connected() ? w.Simple(sftp::pkMkdir, path, "Cannot make the folder") : NotConnected();
        },
        std::move(done));
}

void SftpSession::Rename(const std::string& from, const std::string& to, SessionDone done)
{
    Run([from, to](Worker& w) { return w.Connected() ? w.Rename(from, to) : NotConnected(); },
        std::move(done));
}

void SftpSession::ChangeMode(const std::string& path, const std::string& mode, SessionDone done)
{
    const auto bits = sftp::ParseOctalMode(mode);
    if (!bits)
        return Refuse(std::move(done), "\"" + mode + "\" is not a mode such as 755.");
    Run([path, m = *bits](Worker& w) { return w.Connected() ? w.ChangeMode(path, m) : NotConnected(); },
        std::move(done));
}

void SftpSession::Size(const std::string& path, bool, SessionDone done)
{
    Run([path](Worker& w) { return w.Connected() ? w.Size(path) : NotConnected(); }, std::move(done));
}

void SftpSession::Raw(const std::string&, SessionDone done)
{
    Refuse(std::move(done), "SFTP has no commands to send as typed.");
}

bool SftpSession::Abort()
{
    if (!m_done || !m_transfer)
        return false;
    m_abort = true;
    return true;
}

} // namespace app
