// The engine's extensions a site asks for: FEAT and OPTS UTF8 after the
// log-in, EPSV and EPRT for IPv6 control connections or refused PASV/PORT.
#include "ftp/FtpCli.hpp"

#include "platform/Text.hpp"

#include <sys/socket.h>

namespace ftp {

namespace {

// At most this many feature lines are kept: a server cannot grow the list.
constexpr std::size_t kMaxFeatLines = 256;

} // namespace

bool TCustomFtpCli::ControlIsIPv6() const
{
    return m_controlSocket && m_controlSocket->State() == net::wsConnected &&
           m_controlSocket->SocketFamily() == AF_INET6;
}

bool TCustomFtpCli::HasFeature(const std::string& name) const
{
    for (const std::string& line : m_featLines) {
        std::string word = line.substr(0, line.find(' '));
        if (platform::SameTextNoCase(word, name.c_str()))
            return true;
    }
    return false;
}

bool TCustomFtpCli::MlsdInForce() const
{
    return m_useMlsd && (HasFeature("MLST") || HasFeature("MLSD"));
}

std::string TCustomFtpCli::ExtensionsInForce() const
{
    std::string s;
    if (MlsdInForce())
        s = "MLSD";
    if (m_utf8InForce)
        s += s.empty() ? "UTF-8" : ", UTF-8";
    return s;
}

void TCustomFtpCli::CollectFeatLine(const std::string& line)
{
    // Feature lines of the 211 reply start with a blank.
    if (line.size() > 1 && line[0] == ' ' && m_featLines.size() < kMaxFeatLines) {
        std::string t = Trim(line);
        if (!t.empty())
            m_featLines.push_back(std::move(t));
    }
}

bool TCustomFtpCli::BeginFeatStep()
{
    m_featLines.clear();
    return ExecCommand(ftpRqConnect, ftpStepFeat, "FEAT", {211}, &TCustomFtpCli::FeatReplied);
}

// A server without FEAT simply offers nothing: the log-in still succeeded.
void TCustomFtpCli::FeatReplied()
{
    if (m_requestResult != 0)
        m_featLines.clear();
    m_requestResult = 0;
    m_errorMessage.clear();
    FinishRequest(0);
}

bool TCustomFtpCli::BeginOptsUtf8()
{
    m_utf8InForce = false;
    return ExecCommand(ftpRqConnect, ftpStepOpts, "OPTS UTF8 ON", {}, &TCustomFtpCli::OptsReplied);
}

// A server that lists UTF8 in FEAT uses UTF-8 names whatever it answers
// here (some refuse the OPTS they do not need), so any reply will do.
void TCustomFtpCli::OptsReplied()
{
    m_utf8InForce = true;
    m_requestResult = 0;
    m_errorMessage.clear();
    FinishRequest(0);
}

// With EpsvFallback, a PASV or PORT the server does not know (500, 502) is
// sent again in its extended form, once; the form then stays for the session.
void TCustomFtpCli::DataPortReplied()
{
    const bool refused = m_statusCode == 500 || m_statusCode == 502;
    const bool plain = m_portCommand == "PASV" || m_portCommand.rfind("PORT ", 0) == 0;
    if (m_epsvFallback && refused && plain && (m_portCommand == "PASV" || !m_eprtFallback.empty())) {
        std::string retry;
        if (m_portCommand == "PASV") {
            m_useEpsv = true;
            retry = "EPSV";
            m_okResponses[0] = 229;
        } else {
            m_useEprt = true;
            retry = m_eprtFallback;
            m_okResponses[0] = 200;
        }
        m_okResponses[1] = 0;
        m_portCommand = retry;
        m_requestResult = 0;
        m_errorMessage.clear();
        m_lastMultiResponse.clear();
        m_next = &TCustomFtpCli::CommandReply;
        SetState(ftpStateAwaitReply);
        SendCommand(retry);
        return;
    }
    FinishRequest(m_requestResult);
}

// The 229 reply gives only a port; the address is the server's own, so a
// reply can never point the data connection at another host.
bool TCustomFtpCli::PrepareExtendedPassiveAddress(std::string& addr, std::string& port)
{
    std::uint16_t p = 0;
    if (!ParseEpsvReply(m_pasvResponse, p)) {
        m_lastResponse = "550 Unusable passive mode reply: " + m_pasvResponse;
        m_statusCode = 550;
        SetErrorMessage();
        return false;
    }
    addr = m_dnsResult.empty() ? m_controlSocket->GetPeerAddr() : m_dnsResult;
    port = std::to_string(p);
    return true;
}

} // namespace ftp
