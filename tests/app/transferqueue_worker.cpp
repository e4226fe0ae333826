// The queue run with no window, for the kill test: loads a queue file into a
// TransferQueue and runs it on an FtpSession or an SftpSession, answering the
// overwrite question with All.
//
//   transferqueue_worker <queue file> <port> <user> <password> <fd> [sftp <ssh folder>]
//
// Writes "R" on fd once logged in. Exits 0 when the queue ran empty; anything
// else (a failed entry, another question, a run that ends early) is printed
// and ends it with another code.
#include "app/session/FtpSession.hpp"
#include "app/session/SftpSession.hpp"
#include "app/transfer/TransferQueue.hpp"
#include "ftp/FtpCli.hpp"
#include "platform/EventLoop.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct Worker : app::TransferListener {
    app::TransferQueue* queue = nullptr;
    int unexpected = 0;
    bool finished = false;
    app::TransferRunSummary summary;

    void Ask(app::TQueueQuestion question, const std::string& text, app::TAnswers buttons) override
    {
        if (question == app::qqOverwrite && buttons.Has(app::ansAll))
            return queue->Answer(app::ansAll);
        std::fprintf(stderr, "unexpected question: %s\n", text.c_str());
        ++unexpected;
        queue->Answer(app::ansCancel);
    }
    void Note(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }
    void SaveFailed(const std::string& error) override
    {
        std::fprintf(stderr, "queue not saved: %s\n", error.c_str());
        ++unexpected;
    }
    void RunFinished(const app::TransferRunSummary& s) override
    {
        finished = true;
        summary = s;
    }
};

// Pumps the loop until done() or ms passed, flushing the queue file once a
// second as the window's timer does.
template <class Pred> bool Pump(Pred done, app::QueueFile* file, std::uint32_t ms)
{
    const std::uint32_t start = platform::GetTickCount();
    std::uint32_t flushed = start;
    while (!done()) {
        const std::uint32_t now = platform::GetTickCount();
        if (now - start > ms)
            return false;
        if (file && now - flushed >= 1000) {
            flushed = now;
            if (file->FlushPending())
                file->Flush();
        }
        platform::WaitMessage(50);
        platform::ProcessMessages();
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const bool sftp = argc == 8 && std::string(argv[6]) == "sftp";
    if (argc != 6 && !sftp) {
        std::fprintf(stderr, "usage: %s <queue file> <port> <user> <password> <fd> [sftp <ssh folder>]\n", argv[0]);
        return 2;
    }
    ftp::TFtpClient engine;
    std::unique_ptr<app::RemoteSession> owned;
    if (sftp) {
        app::SftpSettings s;
        s.Host = "127.0.0.1";
        s.Port = std::atoi(argv[2]);
        s.User = argv[3];
        s.Password = argv[4];
        s.SshDir = argv[7];
        s.SettingsDir = argv[7];
        s.AgentSocket = "none";
        owned = std::make_unique<app::SftpSession>(s);
    } else {
        engine.SetHostName("127.0.0.1");
        engine.SetPort(argv[2]);
        engine.SetUserName(argv[3]);
        engine.SetPassWord(argv[4]);
        engine.SetPassive(true);
        engine.SetTimeout(30);
        owned = std::make_unique<app::FtpSession>(engine, std::string(argv[1]) + ".listing");
    }
    app::RemoteSession& session = *owned;
    bool connected = false;
    std::string why;
    session.Connect([&](const app::SessionResult& r) {
        connected = r.Ok;
        why = r.Ok ? "" : r.Message.empty() ? "no reply" : r.Message;
    });
    if (!Pump([&] { return connected || !why.empty(); }, nullptr, 30000) || !connected) {
        std::fprintf(stderr, "not logged in: %s\n", why.c_str());
        return 3;
    }

    Worker worker;
    app::TransferQueue queue(worker, std::make_unique<app::QueueFile>(argv[1]));
    worker.queue = &queue;
    std::string error;
    if (!queue.Load(&error)) {
        std::fprintf(stderr, "queue not loaded: %s\n", error.c_str());
        return 4;
    }
    const int ready = std::atoi(argv[5]);
    if (::write(ready, "R", 1) != 1)
        return 5;
    ::close(ready);

    if (!queue.Start(session, 0, false) || !Pump([&] { return worker.finished; }, queue.File(), 240000)) {
        std::fprintf(stderr, "the run did not end\n");
        return 6;
    }
    queue.File()->Flush(&error);
    if (!queue.Empty() || worker.unexpected || worker.summary.Failed) {
        std::fprintf(
            stderr, "queue left with %zu entries, %zu failed\n", queue.Lines().size(), worker.summary.Failed);
        return 7;
    }
    return 0;
}
