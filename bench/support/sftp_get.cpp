// sftp_get: one SFTP transfer through SftpSession, for benchmarks that set
// it beside other clients. Prints "bytes seconds MB/s" on success.
//   sftp_get get|put HOST PORT USER REMOTE LOCAL [options]
//     --password P     the password (else keys and the agent only)
//     --settings DIR   the program's settings folder (its known_hosts)
//     --ssh-dir DIR    the user's ssh folder (default $HOME/.ssh)
//     --agent SOCKET   the agent ("none": no agent)
//     --trust-new      connect once to a host whose key is not known
//     --offset N       resume from N bytes
//     --read-size N    bytes per read request
#include "app/session/SftpSession.hpp"
#include "platform/EventLoop.hpp"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

namespace {

int Usage()
{
    std::fprintf(stderr,
        "usage: sftp_get get|put HOST PORT USER REMOTE LOCAL [--password P] [--settings DIR] "
        "[--ssh-dir DIR] [--agent SOCKET] [--trust-new] [--offset N] [--read-size N]\n");
    return 2;
}

app::SessionResult Wait(const std::function<void(app::SessionDone)>& start)
{
    std::optional<app::SessionResult> result;
    start([&](const app::SessionResult& r) { result = r; });
    while (!result) {
        platform::WaitMessage(50);
        platform::ProcessMessages();
    }
    return *result;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 7)
        return Usage();
    const std::string verb = argv[1];
    if (verb != "get" && verb != "put")
        return Usage();
    app::SftpSettings s;
    s.Host = argv[2];
    s.Port = std::atoi(argv[3]);
    s.User = argv[4];
    const std::string remote = argv[5], local = argv[6];
    bool trustNew = false;
    app::TransferOptions options;
    for (int i = 7; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--password" && hasValue)
            s.Password = argv[++i];
        else if (a == "--settings" && hasValue)
            s.SettingsDir = argv[++i];
        else if (a == "--ssh-dir" && hasValue)
            s.SshDir = argv[++i];
        else if (a == "--agent" && hasValue)
            s.AgentSocket = argv[++i];
        else if (a == "--offset" && hasValue)
            options.Offset = std::atoll(argv[++i]);
        else if (a == "--read-size" && hasValue)
            s.ReadSize = std::uint32_t(std::atol(argv[++i]));
        else if (a == "--trust-new")
            trustNew = true;
        else
            return Usage();
    }
    app::SftpSession session(s);
    session.SessionEvents().Ask
        = [&](const app::RemoteSession::Question& q, app::RemoteSession::Answer answer) {
              const bool hostKey = !q.Buttons.empty() && q.Buttons[0] == "Connect once";
              std::fprintf(stderr, "%s\n", q.Text.c_str());
              answer(hostKey && trustNew && !q.Warning ? 0 : q.Buttons.size() - 1, {});
          };
    const app::SessionResult connected = Wait([&](app::SessionDone d) { session.Connect(std::move(d)); });
    if (!connected.Ok) {
        std::fprintf(stderr, "%s\n", connected.Message.c_str());
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const app::SessionResult r = Wait([&](app::SessionDone d) {
        if (verb == "get")
            session.Get(remote, local, options, std::move(d));
        else
            session.Put(local, remote, options, std::move(d));
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!r.Ok) {
        std::fprintf(stderr, "%s\n", r.Message.c_str());
        return 1;
    }
    const double moved = double(r.Value - std::max<std::int64_t>(options.Offset, 0));
    std::printf("%lld %.3f %.1f\n", static_cast<long long>(r.Value), seconds, moved / seconds / 1e6);
    return 0;
}
