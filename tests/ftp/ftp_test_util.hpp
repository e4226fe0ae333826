// Shared pieces of the engine tests: a client with recorded events and a
// bounded wait for asynchronous requests.
#pragma once

#include "ftp/FtpCli.hpp"
#include "platform/EventLoop.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace ftptest {

struct Recorder {
    std::vector<std::string> display, displayFile, errors;
    std::vector<std::pair<std::string, int>> responses; // line, StatusCode after it
    std::vector<std::pair<ftp::TFtpRequest, std::uint16_t>> done;
    std::vector<std::int64_t> progress;
    int sessionConnected = 0, sessionClosed = 0;

    void Attach(ftp::TCustomFtpCli& c, bool withOnError = true)
    {
        c.OnDisplay = [this](ftp::TCustomFtpCli*, const std::string& m) { display.push_back(m); };
        c.OnDisplayFile = [this](ftp::TCustomFtpCli*, const std::string& m) { displayFile.push_back(m); };
        if (withOnError)
            c.OnError = [this](ftp::TCustomFtpCli*, const std::string& m) { errors.push_back(m); };
        c.OnResponse = [this](ftp::TCustomFtpCli* s) {
            responses.emplace_back(s->LastResponse(), s->StatusCode());
        };
        c.OnRequestDone = [this](ftp::TCustomFtpCli*, ftp::TFtpRequest rq, std::uint16_t e) {
            done.emplace_back(rq, e);
        };
        c.OnSessionConnected = [this](ftp::TCustomFtpCli*, std::uint16_t) { ++sessionConnected; };
        c.OnSessionClosed = [this](ftp::TCustomFtpCli*, std::uint16_t) { ++sessionClosed; };
    }
    bool Displayed(const std::string& prefix) const
    {
        for (const auto& d : display)
            if (d.rfind(prefix, 0) == 0)
                return true;
        return false;
    }
};

// Pumps the loop until OnRequestDone fired `count` times in total (bounded).
inline bool WaitDone(const Recorder& r, std::size_t count, std::uint32_t ms = 15000)
{
    std::uint32_t start = platform::GetTickCount();
    while (r.done.size() < count) {
        if (platform::GetTickCount() - start > ms)
            return false;
        platform::WaitMessage(100);
        platform::ProcessMessages();
    }
    return true;
}

// Pumps the loop for a while (lets late events arrive).
inline void Pump(std::uint32_t ms)
{
    std::uint32_t start = platform::GetTickCount();
    while (platform::GetTickCount() - start < ms) {
        platform::WaitMessage(20);
        platform::ProcessMessages();
    }
}

} // namespace ftptest
