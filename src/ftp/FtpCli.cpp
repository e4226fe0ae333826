#include "ftp/FtpCli.hpp"

#include "ftp/FtpSrvT.hpp"
#include "platform/Sockets.hpp"
#include "platform/Text.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <typeinfo>
#include <utility>

namespace ftp {

namespace {

// Block sizes of the data connections. The receive size bounds one read per
// data-available event; the send size is one block handed to the socket per
// data-sent event. Both are far above a TCP segment so a loopback transfer is
// not held back by the event loop (see bench/ftp_transfer).
constexpr int kDefaultRecvBlock = 262144;
constexpr int kDefaultSendBlock = 262144;

const char* const kStateNames[] = {"Closed",    "Ready",       "StepReady",  "Resolving",
                                   "Connected", "Aborting",    "Unused6",    "AwaitBanner",
                                   "AwaitReply", "PassiveReady"};

const char* const kStepNames[] = {
    "None", "Open", "USER", "PASS", "CWD", "SIZE", "MKD", "RMD", "RNFR", "RNTO",
    "RETR", "LIST", "QUIT", "SYST", "DELE", "PWD", "Quote", "STOR", "TYPE", "REST",
    "CDUP", "NLST", "APPE", "PASV/PORT", "SITE CHMOD", "ABOR", "MLSD", "FEAT", "MLST", "MDTM",
    "MDTM set", "AUTH", "MFMT", "MD5", "ACCT", "PROT", "PBSZ"};

std::string ExceptionClassName(const std::exception& e)
{
    if (dynamic_cast<const FtpException*>(&e))
        return "FtpException";
    if (dynamic_cast<const net::ESocketException*>(&e))
        return "ESocketException";
    return "Exception";
}

std::string WinsockText(int err)
{
    return net::SocketErrorText(err) + " (Winsock error #" + std::to_string(err) + ")";
}

using platform::SameTextNoCase;

// Opens a local file; share bits become advisory locks where they mean something.
int OpenLocal(const std::string& name, int flags, int shareBits)
{
    int fd = ::open(name.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    int lock = 0;
    if (shareBits == 0x10)
        lock = LOCK_EX;
    else if (shareBits == 0x20)
        lock = LOCK_SH;
    if (lock != 0 && ::flock(fd, lock | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A folder where a new file can be created (checked before the server is asked).
bool FolderWritable(const std::string& file)
{
    std::string::size_type slash = file.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    struct stat st{};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

// The data socket can end a transfer with a reset rather than a close, so a
// server never takes a transfer we gave up for a complete one.
class TFtpDataSocket final : public net::TWSocket {
public:
    void AbortConnection()
    {
        if (State() == net::wsClosed)
            return;
        DiscardSendQueue();
        if (HSocket() != net::INVALID_SOCKET) {
            linger li{1, 0};
            platform::setsockopt(HSocket(), SOL_SOCKET, SO_LINGER, &li, sizeof li);
        }
        DoClose(false, 0);
    }
};

} // namespace

const char* FtpStateName(TFtpState s)
{
    return s <= ftpStatePassiveReady ? kStateNames[s] : "?";
}

const char* FtpStepName(TFtpStep s)
{
    if (s == ftpStepOpts)
        return "OPTS";
    return s <= ftpStepPbsz ? kStepNames[s] : "?";
}

// ---------------------------------------------------------------- life cycle

TCustomFtpCli::TCustomFtpCli()
    : m_sendBuffer(new char[kDefaultSendBlock]), m_recvBuffer(new char[kDefaultRecvBlock]),
      m_sendBlockSize(kDefaultSendBlock), m_recvBlockSize(kDefaultRecvBlock)
{
    m_hwnd = platform::AllocateHWnd(
        [this](platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) {
            WndProc(msg, wParam, lParam);
        });
    m_controlSocket = std::make_unique<net::TWSocket>();
    m_dataSocket = std::make_unique<TFtpDataSocket>();
    BindControlSocket();
}

TCustomFtpCli::~TCustomFtpCli()
{
    if (m_hwnd)
        platform::DeallocateHWnd(m_hwnd);
    m_hwnd = 0;
    CloseLocalStream();
    // No engine handler may run while the sockets go.
    for (net::TWSocket* s : {m_controlSocket.get(), m_dataSocket.get()}) {
        s->OnDnsLookupDone = nullptr;
        s->OnSessionConnected = nullptr;
        s->OnDataAvailable = nullptr;
        s->OnDataSent = nullptr;
        s->OnSessionClosed = nullptr;
        s->OnSessionAvailable = nullptr;
        s->OnTlsDone = nullptr;
        s->OnCertificateCheck = nullptr;
    }
    m_dataSocket.reset();
    m_controlSocket.reset();
}

void TCustomFtpCli::BindControlSocket()
{
    net::TWSocket* s = m_controlSocket.get();
    s->OnDnsLookupDone = [this](net::TCustomWSocket*, std::uint16_t e) { ControlDnsLookupDone(e); };
    s->OnSessionConnected = [this](net::TCustomWSocket*, std::uint16_t e) { ControlSessionConnected(e); };
    s->OnDataAvailable = [this](net::TCustomWSocket*, std::uint16_t e) { ControlDataAvailable(e); };
    s->OnSessionClosed = [this](net::TCustomWSocket*, std::uint16_t e) { ControlSessionClosed(e); };
}

void TCustomFtpCli::SetTransferBlockSizes(int receive, int send)
{
    if (receive > 0) {
        m_recvBuffer.reset(new char[receive]);
        m_recvBlockSize = receive;
    }
    if (send > 0) {
        m_sendBuffer.reset(new char[send]);
        m_sendBlockSize = send;
    }
}

// ---------------------------------------------------------------- properties

void TCustomFtpCli::SetDataPortRangeStart(unsigned v)
{
    if (v > 65535) {
        HandleError("DataPortRangeStart must be in the range 0..65535");
        return;
    }
    m_dataPortRangeStart = v;
}

void TCustomFtpCli::SetDataPortRangeEnd(unsigned v)
{
    if (v > 65535) {
        HandleError("DataPortRangeEnd must be in the range 0..65535");
        return;
    }
    m_dataPortRangeEnd = v;
}

TFtpShareMode TCustomFtpCli::ShareMode() const
{
    switch (m_shareBits) {
    case 0x00: return ftpShareCompat;
    case 0x20: return ftpShareDenyWrite;
    case 0x30: return ftpShareDenyRead;
    case 0x40: return ftpShareDenyNone;
    default: return ftpShareExclusive;
    }
}

void TCustomFtpCli::SetShareMode(TFtpShareMode v)
{
    static const int bits[] = {0x00, 0x10, 0x20, 0x30, 0x40};
    m_shareBits = v <= ftpShareDenyNone ? bits[v] : 0x10;
}

void TCustomFtpCli::SetConnectionType(TFtpConnectionType v)
{
    if (m_controlConnected) {
        HandleError("FTP component connected");
        return;
    }
    if (v > ftpSocks5)
        v = ftpDirect;
    m_connectionType = v;
    switch (v) {
    case ftpDirect:
    case ftpProxy: m_socksAuth = net::socksNoAuthentication; break;
    case ftpSocks4: m_socksLevel = "4"; break;
    case ftpSocks4A: m_socksLevel = "4A"; break;
    case ftpSocks5: m_socksLevel = "5"; break;
    }
    if (v >= ftpSocks4)
        m_socksAuth = net::socksAuthenticateUsercode;
    ApplySocks(m_controlSocket.get());
    ApplySocks(m_dataSocket.get());
    if (v != ftpDirect)
        m_passive = true;
}

// The socket layer forgets its SOCKS settings at every close, so the engine
// keeps them and hands them to a socket before each connect.
void TCustomFtpCli::ApplySocks(net::TWSocket* s)
{
    if (s->State() != net::wsClosed)
        return;
    const bool socks = m_connectionType >= ftpSocks4;
    s->SetSocksServer(socks ? m_socksServer : std::string());
    s->SetSocksPort(m_socksPort);
    s->SetSocksLevel(m_socksLevel);
    s->SetSocksUsercode(m_socksUsercode);
    s->SetSocksPassword(m_socksPassword);
    // Without a user name there is nothing to authenticate with.
    s->SetSocksAuthentication(socks && !m_socksUsercode.empty() ? m_socksAuth
                                                                : net::socksNoAuthentication);
}

void TCustomFtpCli::SetPassive(bool v)
{
    m_passive = m_connectionType == ftpDirect ? v : true;
}

std::string TCustomFtpCli::SocksPassword() const { return m_socksPassword; }
void TCustomFtpCli::SetSocksPassword(const std::string& v)
{
    m_socksPassword = v;
    ApplySocks(m_controlSocket.get());
    ApplySocks(m_dataSocket.get());
}
std::string TCustomFtpCli::SocksPort() const { return m_socksPort; }
void TCustomFtpCli::SetSocksPort(const std::string& v)
{
    m_socksPort = v;
    ApplySocks(m_controlSocket.get());
    ApplySocks(m_dataSocket.get());
}
std::string TCustomFtpCli::SocksServer() const { return m_socksServer; }
void TCustomFtpCli::SetSocksServer(const std::string& v)
{
    m_socksServer = v;
    ApplySocks(m_controlSocket.get());
    ApplySocks(m_dataSocket.get());
}
std::string TCustomFtpCli::SocksUserCode() const { return m_socksUsercode; }
void TCustomFtpCli::SetSocksUserCode(const std::string& v)
{
    m_socksUsercode = v;
    ApplySocks(m_controlSocket.get());
    ApplySocks(m_dataSocket.get());
}

bool TCustomFtpCli::Connected() const
{
    return m_controlSocket && m_controlSocket->State() != net::wsClosed;
}

bool TCustomFtpCli::ControlIsConnected() const
{
    return m_controlSocket && m_controlSocket->State() == net::wsConnected;
}

// ---------------------------------------------------------------- basics

void TCustomFtpCli::SetState(TFtpState s)
{
    if (s == m_state)
        return;
    const TFtpState old = m_state;
    m_state = s;
    if (OnTrace)
        OnTrace(this, std::string("state ") + FtpStateName(old) + " -> " + FtpStateName(s));
    if (s == ftpStateReady)
        TakeOperationNames();
    if (OnStateChange)
        OnStateChange(this);
}

void TCustomFtpCli::TraceStep(TFtpStep step)
{
    if (OnTrace)
        OnTrace(this, std::string("step ") + FtpStepName(step));
}

bool TCustomFtpCli::HandleError(const std::string& msg)
{
    if (OnError) {
        OnError(this, msg);
        return false;
    }
    throw FtpException(msg);
}

void TCustomFtpCli::TakeOperationNames(bool force)
{
    if (!force && (m_sequenceActive || !IsReady()))
        return;
    m_hostDirName = m_set.HostDirName;
    m_hostFileName = m_set.HostFileName;
    m_localFileName = m_set.LocalFileName;
    m_chmodMode = m_set.ChmodMode;
}

bool TCustomFtpCli::IsReady() const
{
    return m_state == ftpStateReady || m_state == ftpStateStepReady ||
           m_state == ftpStatePassiveReady;
}

bool TCustomFtpCli::CheckReady()
{
    if (IsReady())
        return true;
    HandleError("FTP component not ready");
    return false;
}

void TCustomFtpCli::SetErrorMessage()
{
    if (m_errorMessage.empty())
        m_errorMessage = m_lastResponse;
}

void TCustomFtpCli::Display(const std::string& msg)
{
    if (OnDisplay)
        OnDisplay(this, msg);
}

void TCustomFtpCli::DisplayReply() { Display("< " + m_lastResponse); }

void TCustomFtpCli::SendCommand(std::string cmd)
{
    if (OnCommand)
        OnCommand(this, cmd);
    Display("> " + cmd);
    if (ControlIsConnected()) {
        cmd += "\r\n";
        m_controlSocket->SendText(cmd);
    }
}

// A command with a CR, LF or NUL in a parameter would smuggle a second
// command to the server; it is refused before anything is sent.
bool TCustomFtpCli::CheckCommandText(const std::string& cmd)
{
    if (!HasLineBreak(cmd))
        return true;
    HandleError("Command refused: a parameter contains a CR, LF or NUL character");
    return false;
}

bool TCustomFtpCli::ExecCommand(TFtpRequest rq, TFtpStep step, const std::string& cmd,
                                std::initializer_list<int> okCodes, Handler doneHandler)
{
    if (cmd != "ABOR" && cmd != "STAT" && cmd != "QUIT") {
        if (!CheckReady())
            return false;
        if (!m_controlConnected) {
            HandleError("FTP component not connected");
            return false;
        }
    }
    if (!CheckCommandText(cmd))
        return false;
    if (!m_sequenceActive) {
        m_requestType = rq;
        TraceStep(step); // a sequence's steps are traced by RunStep
    }
    m_currentStep = step;
    int i = 0;
    for (int c : okCodes)
        if (i < 16)
            m_okResponses[i++] = c;
    m_okResponses[i] = 0;
    m_lastMultiResponse.clear();
    m_requestDoneFlag = false;
    m_next = &TCustomFtpCli::CommandReply;
    m_doneAsync = doneHandler;
    m_errorMessage.clear();
    SetState(ftpStateAwaitReply);
    SendCommand(cmd);
    return true;
}

void TCustomFtpCli::CommandReply()
{
    DisplayReply();
    int code;
    bool final;
    if (!ReadReplyCode(m_lastResponse, code, final) || !final)
        return;
    if (m_okResponses[0] != 0) {
        bool found = false;
        for (int i = 0; i < 16 && m_okResponses[i] != 0; ++i)
            if (m_okResponses[i] == m_statusCode) {
                found = true;
                break;
            }
        if (found)
            m_requestResult = 0;
        else {
            m_requestResult = m_statusCode;
            SetErrorMessage();
        }
    } else if (m_statusCode < 500) {
        m_requestResult = 0;
    } else {
        m_requestResult = m_statusCode;
        SetErrorMessage();
    }
    const bool epsvReply = m_statusCode == 229 && m_currentStep == ftpStepPort && m_portCommand == "EPSV";
    if (m_passive && (m_statusCode == 227 || epsvReply)) {
        SetState(ftpStatePassiveReady);
        m_pasvResponse = m_lastResponse;
    }
    InterpretReply();
    if (m_doneAsync)
        (this->*m_doneAsync)();
    else
        FinishRequest(m_requestResult);
}

void TCustomFtpCli::InterpretReply()
{
    if (m_requestResult != 0)
        return;
    switch (m_currentStep) {
    case ftpStepSize:
        m_sizeResult = ParseSizeReply(m_lastResponse);
        break;
    case ftpStepMdtm:
        m_remoteFileDateTime = ParseMdtmReply(m_lastResponse);
        break;
    case ftpStepCwd:
    case ftpStepMkd:
    case ftpStepPwd:
    case ftpStepCdUp:
        m_dirResult = ParseQuotedPath(m_lastResponse);
        break;
    case ftpStepMd5:
        m_dirResult.clear();
        m_md5Result.clear();
        if (m_statusCode == 251)
            ParseMd5Reply(m_lastResponse, m_dirResult, m_md5Result);
        break;
    default:
        break;
    }
}

void TCustomFtpCli::FinishRequest(int error)
{
    if (m_requestDoneFlag)
        return;
    m_requestDoneFlag = true;
    ThrottleCancel();
    if (error == 0 && m_nextSequenceStep) {
        if (m_state != ftpStateAborting && m_state != ftpStatePassiveReady)
            SetState(ftpStateStepReady);
        (this->*m_nextSequenceStep)();
        return;
    }
    SetState(ftpStateReady);
    if (m_dataSocket->State() != net::wsClosed)
        m_dataSocket->Close();
    if (m_sequenceActive && m_savedCode >= 0) {
        m_lastResponse = m_savedResponse;
        m_statusCode = m_savedCode;
    }
    m_sequenceActive = false;
    m_nextSequenceStep = nullptr;
    TakeOperationNames();
    // A stale offset from a failed restart would make the next plain upload
    // skip the start of its file.
    if (m_resumeScoped) {
        m_resumeScoped = false;
        m_resumeAt = 0;
    }
    PostRequestDone(error);
}

void TCustomFtpCli::PostRequestDone(int error)
{
    platform::PostMessage(m_hwnd, WM_FTP_REQUEST_DONE, 0,
                          static_cast<platform::LPARAM>(static_cast<std::uint16_t>(error)));
}

void TCustomFtpCli::WndProc(platform::UINT msg, platform::WPARAM, platform::LPARAM lParam)
{
    try {
        if (msg == WM_FTP_REQUEST_DONE) {
            if (OnRequestDone)
                OnRequestDone(this, m_requestType, static_cast<std::uint16_t>(lParam));
        } else if (msg == WM_FTP_SEND_START) {
            StartSending();
        } else if (msg == platform::WM_TIMER) {
            ThrottleResume();
        }
    } catch (const std::exception& e) {
        HandleBackgroundException(e);
    }
}

void TCustomFtpCli::HandleBackgroundException(const std::exception& e)
{
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, e, canClose);
        } catch (const std::exception&) {
        }
    }
    if (canClose) {
        try {
            Abort();
        } catch (const std::exception&) {
        }
    }
}

void TCustomFtpCli::CloseLocalStream()
{
    if (m_localFd >= 0)
        ::close(m_localFd);
    m_localFd = -1;
    m_localPending = false;
}

// ---------------------------------------------------------------- control connection

bool TCustomFtpCli::BeginOpen()
{
    if (m_controlConnected) {
        HandleError("FTP component already connected");
        return false;
    }
    if (!m_sequenceActive && !CheckReady())
        return false;
    if (!m_sequenceActive)
        m_requestType = ftpRqOpen;
    m_requestDoneFlag = false;
    m_rcvBufCount = 0;
    m_requestResult = 0;
    m_dnsResult.clear();
    m_mlstFacts.clear();
    m_supportedExtensions.Clear();
    m_protP = false;
    m_acceptedFingerprint.clear();
    m_featLines.clear();
    m_useEpsv = m_useEprt = m_utf8InForce = false;
    SetState(ftpStateResolving);
    const std::string& name = m_connectionType == ftpProxy ? m_proxyServer : m_hostName;
    try {
        m_controlSocket->DnsLookup(name);
    } catch (const std::exception& e) {
        m_lastResponse = "500 " + ExceptionClassName(e) + ": " + e.what();
        m_statusCode = m_requestResult = 500;
        SetErrorMessage();
        FinishRequest(500);
    }
    return true;
}

void TCustomFtpCli::ControlDnsLookupDone(std::uint16_t err)
{
    // A look-up an abort overtook has nobody waiting for it.
    if (m_state != ftpStateResolving)
        return;
    if (err != 0) {
        m_lastResponse = "500 " + WinsockText(err);
        m_statusCode = m_requestResult = 500;
        SetErrorMessage();
        FinishRequest(err);
        return;
    }
    m_dnsResult = m_controlSocket->DnsResult();
    try {
        ApplySocks(m_controlSocket.get());
        m_controlSocket->SetAddr(m_dnsResult);
        m_controlSocket->SetLocalAddr(m_localAddr);
        m_controlSocket->SetProto("tcp");
        if (m_connectionType == ftpProxy && !m_proxyPort.empty())
            m_controlSocket->SetPort(m_proxyPort);
        else
            m_controlSocket->SetPort(m_port);
        SetState(ftpStateAwaitBanner);
        m_controlSocket->Connect();
    } catch (const std::exception& e) {
        m_lastResponse = "500 " + ExceptionClassName(e) + ": " + e.what();
        m_statusCode = m_requestResult = 500;
        SetErrorMessage();
        FinishRequest(m_statusCode);
    }
}

void TCustomFtpCli::ControlSessionConnected(std::uint16_t err)
{
    if (err != 0) {
        m_lastResponse = "500 " + WinsockText(err);
        m_statusCode = m_requestResult = 500;
        SetErrorMessage();
        m_nextSequenceStep = nullptr;
        FinishRequest(err);
        m_controlSocket->Close();
        SetState(ftpStateReady);
        return;
    }
    m_controlConnected = true;
}

void TCustomFtpCli::ControlDataAvailable(std::uint16_t)
{
    int room = kControlBufferSize - 1 - m_rcvBufCount;
    if (room <= 0) {
        // A line longer than the buffer can never be completed: close with a
        // clear error instead of stalling the control connection.
        m_rcvBufCount = 0;
        m_lastResponse = "500 Reply line too long (more than " +
                         std::to_string(kControlBufferSize - 1) + " bytes), connection closed";
        m_statusCode = m_requestResult = 500;
        SetErrorMessage();
        Display("! " + m_lastResponse);
        m_controlSocket->Close();
        return;
    }
    int n = m_controlSocket->Receive(m_receiveBuffer + m_rcvBufCount, room);
    if (n < 0 && m_controlSocket->TlsActive() && m_controlSocket->TlsStreamErrorCode() == net::kTlsErrRecord) {
        // Nothing more can be read from this connection: end the session now
        // rather than wait for a reply that cannot come.
        m_lastResponse = "500 TLS error on the control connection: " + m_controlSocket->TlsStreamError();
        m_statusCode = m_requestResult = 500;
        SetErrorMessage();
        Display("! " + m_lastResponse);
        m_controlSocket->Close();
        return;
    }
    if (n <= 0)
        return;
    m_rcvBufCount += n;
    m_receiveBuffer[m_rcvBufCount] = 0;
    const bool acceptLF = m_options.Contains(ftpAcceptLF);
    while (m_rcvBufCount > 0) {
        std::string_view buf(m_receiveBuffer, static_cast<std::size_t>(m_rcvBufCount));
        std::size_t used = FindLineEnd(buf, acceptLF);
        if (used == 0)
            break;
        std::string line(TrimLineEnd(buf.substr(0, used)));
        std::memmove(m_receiveBuffer, m_receiveBuffer + used, static_cast<std::size_t>(m_rcvBufCount) - used);
        m_rcvBufCount -= static_cast<int>(used);
        m_receiveBuffer[m_rcvBufCount] = 0;
        ProcessLine(line);
        // The handler may have closed the connection or ended the engine's session.
        if (m_state == ftpStateClosed || m_controlSocket->State() == net::wsClosed)
            break;
    }
    if (m_rcvBufCount >= kControlBufferSize - 1 && m_controlSocket->State() != net::wsClosed)
        ControlDataAvailable(0);
}

void TCustomFtpCli::ProcessLine(const std::string& line)
{
    m_lastResponse = line;
    int code;
    bool final;
    bool digit = ReadReplyCode(m_lastResponse, code, final);
    if (digit)
        m_statusCode = code;
    if (m_lastMultiResponse.size() < 65536)
        m_lastMultiResponse += m_lastResponse + "\r\n";
    if (OnResponse)
        OnResponse(this);
    switch (m_state) {
    case ftpStateAwaitBanner:
        DisplayReply();
        if (digit && final)
            HandleBanner();
        break;
    case ftpStateAwaitReply:
        if (m_currentStep == ftpStepFeat) {
            ParseFeatLine(m_lastResponse, m_supportedExtensions, m_mlstFacts);
            CollectFeatLine(m_lastResponse);
        } else if (m_currentStep == ftpStepMlst && m_statusCode == 250)
            ParseMlstLine(m_lastResponse, m_remoteFacts);
        if (!(digit && final)) {
            DisplayReply();
            break;
        }
        if (!m_next) {
            HandleError("Program error: FNext is nil");
            break;
        }
        (this->*m_next)();
        break;
    default:
        DisplayReply();
        break;
    }
}

void TCustomFtpCli::HandleBanner()
{
    if (m_statusCode != 220) {
        SetErrorMessage();
        m_requestResult = m_statusCode;
        m_controlSocket->Close();
        return;
    }
    SetState(ftpStateConnected);
    if (OnSessionConnected)
        OnSessionConnected(this, 0);
    FinishRequest(0);
}

void TCustomFtpCli::ControlSessionClosed(std::uint16_t err)
{
    if (m_controlConnected) {
        m_controlConnected = false;
        if (m_state != ftpStateAborting)
            SetState(ftpStateClosed);
        if (OnSessionClosed)
            OnSessionClosed(this, err);
    }
    if (m_state != ftpStateAborting)
        SetState(ftpStateStepReady);
    // A TLS failure was told already, with its own code.
    if (err != 0 && !(err == m_requestResult && (err == net::kTlsErrHandshake || err == net::kTlsErrCertificate))) {
        m_lastResponse = "500 Control connection closed. " + WinsockText(err);
        m_statusCode = m_requestResult = 500;
        SetErrorMessage();
    }
    if (m_state == ftpStateAborting) {
        FinishAborted();
        return;
    }
    // A transfer cut off with the control connection gives no final reply: stop it.
    CloseLocalStream();
    // A close before a final reply fails the request that was waiting for it.
    if (!m_requestDoneFlag && m_requestResult == 0 && m_requestType != ftpRqQuit &&
        m_currentStep != ftpStepQuit) {
        m_lastResponse = "500 Control connection closed.";
        m_statusCode = m_requestResult = 500;
        SetErrorMessage();
    }
    FinishRequest(m_requestResult);
}

// A single command cut off by the local abort never got its reply: it failed.
// A sequence gets its 426 from the sequencer.
void TCustomFtpCli::FinishAborted()
{
    if (!m_requestDoneFlag && !m_sequenceActive && m_requestResult == 0 && m_requestType != ftpRqQuit) {
        m_errorMessage = "426 Operation aborted.";
        m_statusCode = m_requestResult = 426;
    }
    FinishRequest(m_requestResult);
}

void TCustomFtpCli::QuitDone()
{
    // The request completes when the close is reported.
    m_controlSocket->Close();
}

// ---------------------------------------------------------------- abort

void TCustomFtpCli::Abort()
{
    TFtpState was = m_state;
    SetState(ftpStateAborting);
    ThrottleCancel();
    CloseLocalStream();
    if (was == ftpStateResolving)
        m_controlSocket->CancelLookup();
    if (m_controlSocket->State() != net::wsClosed)
        m_controlSocket->Close(); // its close event ends the request
    else if (was != ftpStateReady && !m_requestDoneFlag)
        FinishAborted(); // no connection (a look-up, say): nothing else will
    if (m_dataSocket->State() != net::wsClosed)
        m_dataSocket->Close();
    CloseLocalStream();
    m_controlConnected = false;
    SetState(ftpStateReady);
    TakeOperationNames();
}

void TCustomFtpCli::AbortWithTimeout()
{
    Abort();
    m_errorMessage = "426 Timeout";
    m_statusCode = 426;
}

// ---------------------------------------------------------------- single commands

// Under "TLS required" no credential leaves before the connection is encrypted.
bool TCustomFtpCli::BeginUser()
{
    if (m_userName.empty()) {
        HandleError("UserName empty");
        return false;
    }
    if (m_tlsMode == ftpTlsRequire && !m_controlSocket->TlsEstablished()) {
        HandleError("USER refused: TLS is required and the control connection is not encrypted");
        return false;
    }
    std::string cmd = "USER " + m_userName;
    if (m_connectionType == ftpProxy) {
        cmd += "@" + m_hostName;
        if (!SameTextNoCase(m_port, "ftp") && !SameTextNoCase(m_port, "21"))
            cmd += ":" + m_port;
    }
    return ExecCommand(ftpRqUser, ftpStepUser, cmd, {331, 230}, nullptr);
}

bool TCustomFtpCli::BeginPass()
{
    if (m_passWord.empty()) {
        HandleError("Password empty");
        return false;
    }
    if (m_tlsMode == ftpTlsRequire && !m_controlSocket->TlsEstablished()) {
        HandleError("PASS refused: TLS is required and the control connection is not encrypted");
        return false;
    }
    return ExecCommand(ftpRqPass, ftpStepPass, "PASS " + m_passWord, {230, 332}, nullptr);
}

bool TCustomFtpCli::BeginAcct()
{
    if (m_account.empty()) {
        HandleError("Account empty!");
        return false;
    }
    if (m_tlsMode == ftpTlsRequire && !m_controlSocket->TlsEstablished()) {
        HandleError("ACCT refused: TLS is required and the control connection is not encrypted");
        return false;
    }
    return ExecCommand(ftpRqAcct, ftpStepAcct, "ACCT " + m_account, {230, 202}, nullptr);
}

bool TCustomFtpCli::BeginCwd()
{
    if (m_hostDirName.empty()) {
        HandleError("HostDirName empty");
        return false;
    }
    return ExecCommand(ftpRqCwd, ftpStepCwd, "CWD " + m_hostDirName, {200, 250, 257}, nullptr);
}

bool TCustomFtpCli::BeginCdUp() { return ExecCommand(ftpRqCdUp, ftpStepCdUp, "CDUP", {250, 257}, nullptr); }
bool TCustomFtpCli::BeginPwd() { return ExecCommand(ftpRqPwd, ftpStepPwd, "PWD", {250, 257}, nullptr); }
bool TCustomFtpCli::BeginMkd()
{
    return ExecCommand(ftpRqMkd, ftpStepMkd, "MKD " + m_hostFileName, {250, 257}, nullptr);
}
bool TCustomFtpCli::BeginRmd()
{
    return ExecCommand(ftpRqRmd, ftpStepRmd, "RMD " + m_hostFileName, {250, 257}, nullptr);
}
bool TCustomFtpCli::BeginDele()
{
    return ExecCommand(ftpRqDele, ftpStepDele, "DELE " + m_hostFileName, {250, 257}, nullptr);
}
bool TCustomFtpCli::BeginRenameFrom()
{
    return ExecCommand(ftpRqRenameFrom, ftpStepRenameFrom, "RNFR " + m_hostFileName, {350}, nullptr);
}
bool TCustomFtpCli::BeginRenameTo()
{
    return ExecCommand(ftpRqRenameTo, ftpStepRenameTo, "RNTO " + m_localFileName, {200, 250, 257}, nullptr);
}
bool TCustomFtpCli::BeginSize()
{
    m_sizeResult = 0;
    return ExecCommand(ftpRqSize, ftpStepSize, "SIZE " + m_hostFileName, {213}, nullptr);
}
bool TCustomFtpCli::BeginSyst() { return ExecCommand(ftpRqSyst, ftpStepSyst, "SYST", {215}, nullptr); }
bool TCustomFtpCli::BeginSendType()
{
    return ExecCommand(ftpRqSendType, ftpStepType, std::string("TYPE ") + m_type, {200}, nullptr);
}
bool TCustomFtpCli::BeginSendTypeBinary()
{
    SetBinary(true);
    return BeginSendType();
}
bool TCustomFtpCli::BeginSendTypeAscii()
{
    SetBinary(false);
    return BeginSendType();
}

bool TCustomFtpCli::BeginRest()
{
    if (m_requestType != ftpRqRestartPut && m_requestType != ftpRqFullRestartPut &&
        !m_options.Contains(ftpNoAutoResumeAt)) {
        struct stat st{};
        m_resumeAt = ::stat(m_localFileName.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
    }
    if (m_resumeAt <= 0) {
        if (!CheckReady())
            return false;
        if (!m_sequenceActive)
            m_requestType = ftpRqRest;
        m_requestDoneFlag = false;
        m_requestResult = 0;
        FinishRequest(0);
        return true;
    }
    return ExecCommand(ftpRqRest, ftpStepRest, "REST " + std::to_string(m_resumeAt), {}, nullptr);
}

bool TCustomFtpCli::BeginQuote() { return ExecCommand(ftpRqQuote, ftpStepQuote, m_localFileName, {}, nullptr); }
bool TCustomFtpCli::BeginAbor() { return ExecCommand(ftpRqAbor, ftpStepAbor, "ABOR", {}, nullptr); }

bool TCustomFtpCli::BeginQuit()
{
    CloseLocalStream();
    return ExecCommand(ftpRqQuit, ftpStepQuit, "QUIT", {221}, &TCustomFtpCli::QuitDone);
}

bool TCustomFtpCli::BeginSiteChmod()
{
    return ExecCommand(ftpRqSiteChmod, ftpStepSiteChmod, "SITE CHMOD " + m_chmodMode + " " + m_hostFileName, {200}, nullptr);
}

bool TCustomFtpCli::BeginMlst()
{
    m_remoteFacts.clear();
    return ExecCommand(ftpRqRenameTo, ftpStepMlst, "MLST " + m_hostFileName, {250}, nullptr);
}

bool TCustomFtpCli::BeginFeat()
{
    m_featLines.clear();
    return ExecCommand(ftpRqRenameTo, ftpStepFeat, "FEAT", {211}, nullptr);
}

bool TCustomFtpCli::BeginMdtm()
{
    return ExecCommand(ftpRqRenameTo, ftpStepMdtm, "MDTM " + m_hostFileName, {213}, nullptr);
}

bool TCustomFtpCli::BeginSetMdtm()
{
    if (m_remoteFileDateTime < 10.0) {
        HandleError("Modification date empty");
        return false;
    }
    return ExecCommand(ftpRqRenameTo, ftpStepSetMdtm,
                       "MDTM " + DateTimeToMdtm(m_remoteFileDateTime) + "+0 " + m_hostFileName,
                       {213, 253}, nullptr);
}

bool TCustomFtpCli::BeginMfmt()
{
    if (m_remoteFileDateTime < 10.0) {
        HandleError("Modification date empty");
        return false;
    }
    return ExecCommand(ftpRqRenameTo, ftpStepMfmt, "MFMT " + DateTimeToMdtm(m_remoteFileDateTime) + " " + m_hostFileName,
                       {213}, nullptr);
}

bool TCustomFtpCli::BeginMd5()
{
    return ExecCommand(ftpRqMd5, ftpStepMd5, "MD5 " + m_hostFileName, {251}, nullptr);
}

bool TCustomFtpCli::BeginAuth()
{
    if (m_tlsMode == ftpTlsNone)
        throw FtpException("AUTH SSL require Quill-SSL version");
    return ExecCommand(ftpRqConnect, ftpStepAuth, "AUTH TLS", {234}, &TCustomFtpCli::AuthReply);
}

bool TCustomFtpCli::BeginProt()
{
    if (m_tlsMode == ftpTlsNone)
        throw FtpException("PROT require Quill-SSL version");
    return ExecCommand(ftpRqConnect, ftpStepProt, "PROT P", {200}, &TCustomFtpCli::ProtReply);
}

bool TCustomFtpCli::BeginPbsz()
{
    if (m_tlsMode == ftpTlsNone)
        throw FtpException("PBSZ require Quill-SSL version");
    return ExecCommand(ftpRqConnect, ftpStepPbsz, "PBSZ 0", {200}, &TCustomFtpCli::PbszReply);
}

// ---------------------------------------------------------------- explicit TLS

std::string TCustomFtpCli::TlsDescription() const
{
    if (!m_controlSocket || !m_controlSocket->TlsEstablished())
        return {};
    return m_controlSocket->TlsVersion() + ", " + m_controlSocket->TlsCipher();
}

// 234: the handshake starts and the request ends with it. A refusal goes on in
// clear only when TLS is merely wanted; when it is required the connection
// ends here, before the user name or the password could leave in clear.
void TCustomFtpCli::AuthReply()
{
    if (m_statusCode == 234) {
        net::TWSocket* s = m_controlSocket.get();
        // Bytes that came in clear behind the reply are not the server's
        // word: whoever sent them could answer for the server once the
        // connection is thought encrypted.
        std::string why;
        if (m_rcvBufCount > 0) {
            m_rcvBufCount = 0;
            why = "unencrypted data followed the 234 reply";
        } else {
            s->OnTlsDone = [this](net::TCustomWSocket*, std::uint16_t e) { ControlTlsDone(e); };
            s->OnCertificateCheck = [this](net::TCustomWSocket*, const net::TCertInfo& i, bool& a) {
                CertificateCheck(i, a, false);
            };
            m_tlsSessions = std::make_shared<net::TTlsSessionRef>();
            auto savedOnError = s->OnError;
            s->OnError = nullptr; // a refusal is raised, and told below
            try {
                if (!s->StartTls(TlsParams()))
                    why = s->TlsError();
            } catch (const std::exception& e) {
                why = s->TlsError().empty() ? e.what() : s->TlsError();
            }
            s->OnError = savedOnError;
        }
        if (!why.empty()) {
            m_lastResponse = m_errorMessage = "500 TLS could not start: " + why;
            m_statusCode = 500;
            m_requestResult = net::kTlsErrHandshake;
            Display("! " + m_lastResponse);
            s->Close();
        }
        return;
    }
    if (m_tlsMode == ftpTlsIfAvailable) {
        Display("! The server does not offer TLS: the session goes on unencrypted");
        m_requestResult = 0;
        m_errorMessage.clear();
        FinishRequest(0);
        return;
    }
    m_errorMessage = std::to_string(m_statusCode) + " The server refused AUTH TLS (" + m_lastResponse +
                     "); TLS is required, so the connection is closed without logging in";
    m_requestResult = m_statusCode >= 400 ? m_statusCode : 534;
    Display("! " + m_errorMessage);
    m_controlSocket->Close(); // its close ends the request
}

void TCustomFtpCli::ControlTlsDone(std::uint16_t err)
{
    if (err != 0) {
        // The socket closes next; its close ends the request with this text
        // and the socket's code, which tells a refused certificate apart.
        m_lastResponse = m_errorMessage =
            (err == net::kTlsErrCertificate ? "500 Certificate refused: " : "500 TLS negotiation failed: ") +
            m_controlSocket->TlsError();
        m_statusCode = 500;
        m_requestResult = err;
        Display("! " + m_lastResponse);
        return;
    }
    Display("! TLS negotiated: " + TlsDescription());
    FinishRequest(0);
}

net::TTlsParams TCustomFtpCli::TlsParams() const
{
    return {m_hostName, m_port, m_tlsSessions, m_caFile, m_caPath};
}

// A refused PBSZ or PROT P: under "TLS required" the session ends (nothing
// may go in clear); otherwise the user is told plainly and it goes on.
bool TCustomFtpCli::DataProtectionRefused(const char* what)
{
    const std::string reply = m_lastResponse;
    if (m_tlsMode == ftpTlsRequire) {
        m_errorMessage = std::to_string(m_statusCode) + " The server refused " + what + " (" + reply +
                         "); TLS is required, so the session is closed";
        m_requestResult = m_statusCode >= 400 ? m_statusCode : 534;
        m_lastResponse = m_errorMessage;
        Display("! " + m_errorMessage);
        m_nextSequenceStep = nullptr;
        m_controlSocket->Close(); // its close ends the request
        return true;
    }
    Display(std::string("! The server refused ") + what + " (" + reply +
            "): data connections (listings and transfers) are NOT encrypted");
    m_stepSet.Exclude(ftpStepProt);
    m_requestResult = 0;
    m_errorMessage.clear();
    FinishRequest(0);
    return true;
}

void TCustomFtpCli::PbszReply()
{
    if (m_requestResult != 0 && DataProtectionRefused("PBSZ"))
        return;
    FinishRequest(m_requestResult);
}

void TCustomFtpCli::ProtReply()
{
    if (m_requestResult != 0 && DataProtectionRefused("PROT P"))
        return;
    if (m_requestResult == 0) {
        m_protP = true;
        Display("! Encrypted: " + TlsDescription() + ", control and data connections");
    }
    FinishRequest(m_requestResult);
}

// The data connection resumes the control connection's session: servers
// take that as the proof that both come from the same client.
void TCustomFtpCli::StartDataTls()
{
    if (!m_protP)
        return;
    net::TWSocket* d = m_dataSocket.get();
    d->OnTlsDone = [this](net::TCustomWSocket*, std::uint16_t e) { DataTlsDone(e); };
    d->OnCertificateCheck = [this](net::TCustomWSocket*, const net::TCertInfo& i, bool& a) {
        CertificateCheck(i, a, true);
    };
    std::string why;
    auto savedOnError = d->OnError;
    d->OnError = nullptr;
    try {
        if (!d->StartTls(TlsParams()))
            why = d->TlsError();
    } catch (const std::exception& e) {
        why = d->TlsError().empty() ? e.what() : d->TlsError();
    }
    d->OnError = savedOnError;
    if (!why.empty()) {
        const std::string text = "425 TLS could not start on the data connection: " + why;
        Display("! " + text);
        LocalTransferFailed(425, text);
    }
}

// A data connection without TLS fails the transfer like a local failure:
// ABOR keeps the control connection in step.
void TCustomFtpCli::DataTlsDone(std::uint16_t err)
{
    if (err == 0)
        return;
    // A refused certificate ends the request under its own code, as on the
    // control connection; the reply code shown stays 425.
    const bool refused = err == net::kTlsErrCertificate;
    const std::string text = (refused ? "425 Certificate refused on the data connection: "
                                      : "425 TLS negotiation on the data connection failed: ") +
                             m_dataSocket->TlsError();
    Display("! " + text);
    LocalTransferFailed(refused ? net::kTlsErrCertificate : 425, text);
}

void TCustomFtpCli::CopyConnectionSettings(const TCustomFtpCli& o)
{
    m_hostName = o.m_hostName;
    m_port = o.m_port;
    m_userName = o.m_userName;
    m_passWord = o.m_passWord;
    m_account = o.m_account;
    m_localAddr = o.m_localAddr;
    SetDataPortRangeStart(o.m_dataPortRangeStart);
    SetDataPortRangeEnd(o.m_dataPortRangeEnd);
    SetConnectionType(o.m_connectionType);
    m_proxyServer = o.m_proxyServer;
    m_proxyPort = o.m_proxyPort;
    SetSocksServer(o.SocksServer());
    SetSocksPort(o.SocksPort());
    SetSocksUserCode(o.SocksUserCode());
    SetSocksPassword(o.SocksPassword());
    SetPassive(o.m_passive);
    m_type = o.m_type;
    m_options = o.m_options;
    SetShareMode(o.ShareMode());
    m_displayFileFlag = o.m_displayFileFlag;
    m_tlsMode = o.m_tlsMode;
    m_caFile = o.m_caFile;
    m_caPath = o.m_caPath;
    m_useMlsd = o.m_useMlsd;
    m_useUtf8 = o.m_useUtf8;
    m_epsvFallback = o.m_epsvFallback;
    SetTransferBlockSizes(o.m_recvBlockSize, o.m_sendBlockSize);
    // The speed limits hold over every connection together: the same buckets.
    m_downLimit = o.m_downLimit;
    m_upLimit = o.m_upLimit;
}

void TCustomFtpCli::CertificateCheck(const net::TCertInfo& info, bool& accept, bool dataConnection)
{
    accept = false;
    if (dataConnection && !m_acceptedFingerprint.empty() && info.Fingerprint == m_acceptedFingerprint) {
        accept = true;
        return;
    }
    net::TCertInfo shown = info;
    shown.DataConnection = dataConnection;
    if (OnCertificateCheck)
        OnCertificateCheck(this, shown, accept);
    // The time the user took is not the server's: a blocking wait starts again.
    ProgressNotified();
    if (accept) {
        if (!dataConnection)
            m_acceptedFingerprint = info.Fingerprint;
        Display("! Certificate accepted by the user (" + info.Error + "), SHA-256 " + info.Fingerprint);
    } else {
        Display("! Certificate refused: " + info.Error + " (" + info.Subject + ")");
    }
}

// ---------------------------------------------------------------- data port

bool TCustomFtpCli::BeginPort()
{
    if (!CheckReady())
        return false;
    if (!m_controlConnected) {
        HandleError("FTP component not connected");
        return false;
    }
    net::TWSocket* d = m_dataSocket.get();
    if (d->State() != net::wsClosed)
        d->Close();
    d->SetProto("tcp");
    d->SetAddr("0.0.0.0");
    d->SetPort("0");
    d->OnSessionAvailable = nullptr;
    d->OnSessionClosed = nullptr;
    d->OnDataAvailable = nullptr;
    d->OnDataSent = nullptr;
    d->OnSessionConnected = nullptr;
    m_acceptPending = false;

    unsigned listenPort = 0;
    if (!m_passive) {
        // Listen only on the interface the server reaches us through, not on
        // every interface of the machine.
        sockaddr_in local{};
        int llen = sizeof local;
        std::string listenAddr = "0.0.0.0";
        if (ControlIsIPv6()) {
            listenAddr = m_controlSocket->GetBoundAddr();
        } else if (m_controlSocket->GetLocalSockAddr(local, llen) == 0) {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
            listenAddr = text;
        }
        d->SetAddr(listenAddr);
        d->SetLingerOnOff(net::wsLingerOn);
        d->SetLingerTimeout(10);
        if (m_dataPortRangeStart == 0 && m_dataPortRangeEnd == 0) {
            d->Listen();
        } else {
            if (m_dataPortRangeEnd < m_dataPortRangeStart) {
                HandleError("DataPortRangeEnd must be greater than DataPortRangeStart");
                return false;
            }
            if (m_nextDataPort < m_dataPortRangeStart || m_nextDataPort > m_dataPortRangeEnd)
                m_nextDataPort = m_dataPortRangeStart;
            unsigned candidate = m_nextDataPort;
            const unsigned first = candidate;
            for (;;) {
                d->SetProto("tcp");
                d->SetAddr(listenAddr);
                d->SetPort(std::to_string(candidate));
                int err = 0;
                try {
                    d->Listen();
                } catch (const net::ESocketException&) {
                    err = d->LastError();
                    if (err == 0)
                        err = platform::WSAEADDRINUSE;
                }
                if (err == 0) {
                    m_nextDataPort = candidate + 1 > m_dataPortRangeEnd ? m_dataPortRangeStart : candidate + 1;
                    break;
                }
                if (d->State() != net::wsClosed)
                    d->Close();
                if (err != platform::WSAEADDRINUSE) {
                    HandleError("Data connection winsock.bind failed, error #" + std::to_string(err));
                    return false;
                }
                candidate = candidate + 1 > m_dataPortRangeEnd ? m_dataPortRangeStart : candidate + 1;
                if (candidate == first) {
                    HandleError("All ports in DataPortRange are in use");
                    return false;
                }
            }
        }
        sockaddr_in sa{};
        int len = sizeof sa;
        d->GetLocalSockAddr(sa, len);
        listenPort = ntohs(sa.sin_port); // sin6_port sits at the same place
        // Some servers connect as soon as they get PORT, before the transfer
        // command: remember it and let the transfer step accept.
        d->OnSessionAvailable = [this](net::TCustomWSocket*, std::uint16_t) { m_acceptPending = true; };
    }

    std::string cmd;
    const bool v6 = ControlIsIPv6();
    m_eprtFallback.clear();
    if (m_passive) {
        cmd = v6 || m_useEpsv ? "EPSV" : "PASV";
    } else if (v6) {
        cmd = EprtCommand(d->GetBoundAddr(), listenPort);
    } else {
        // PORT names the address actually listened on; only a listener on
        // every interface falls back to the address the server sees.
        sockaddr_in local{};
        int len = sizeof local;
        d->GetLocalSockAddr(local, len);
        if (local.sin_addr.s_addr == htonl(INADDR_ANY)) {
            len = sizeof local;
            m_controlSocket->GetLocalSockAddr(local, len);
        }
        const unsigned char* b = reinterpret_cast<const unsigned char*>(&local.sin_addr.s_addr);
        char buf[64];
        std::snprintf(buf, sizeof buf, "PORT %u,%u,%u,%u,%u,%u", b[0], b[1], b[2], b[3],
                      listenPort >> 8, listenPort & 255);
        cmd = buf;
        char dotted[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &local.sin_addr, dotted, sizeof dotted);
        m_eprtFallback = EprtCommand(dotted, listenPort);
        if (m_useEprt)
            cmd = m_eprtFallback;
    }
    m_byteCount = 0;
    m_portCommand = cmd;
    const bool extended = cmd == "EPSV" || cmd.rfind("EPRT", 0) == 0;
    Handler portDone = extended || m_epsvFallback ? &TCustomFtpCli::DataPortReplied : nullptr;
    bool sent = cmd == "EPSV"  ? ExecCommand(ftpRqPort, ftpStepPort, cmd, {229}, portDone)
                : extended     ? ExecCommand(ftpRqPort, ftpStepPort, cmd, {200}, portDone)
                               : ExecCommand(ftpRqPort, ftpStepPort, cmd, {200, 227}, portDone);
    if (!sent) {
        if (d->State() != net::wsClosed)
            d->Close();
        return false;
    }
    return true;
}

// The 227 reply gives the data address. A server naming another host than
// its own is not followed (that would let it point us anywhere): the data
// connection goes to the server's own address on the given port.
bool TCustomFtpCli::PreparePassiveAddress(std::string& addr, std::string& port)
{
    if (m_pasvResponse.rfind("229", 0) == 0)
        return PrepareExtendedPassiveAddress(addr, port);
    std::uint16_t p = 0;
    if (!ParsePasvReply(m_pasvResponse, addr, p)) {
        m_lastResponse = "550 Unusable passive mode reply: " + m_pasvResponse;
        m_statusCode = 550;
        SetErrorMessage();
        return false;
    }
    port = std::to_string(p);
    if (!m_dnsResult.empty() && addr != m_dnsResult) {
        Display("! Passive reply names " + addr + " but the server is " + m_dnsResult +
                "; connecting to " + m_dnsResult);
        addr = m_dnsResult;
    }
    return true;
}

// ---------------------------------------------------------------- downloads

bool TCustomFtpCli::BeginRetr() { return DownloadStep(ftpRqGet, "RETR"); }
bool TCustomFtpCli::BeginList() { return DownloadStep(ftpRqDir, "LIST"); }
bool TCustomFtpCli::BeginNlst() { return DownloadStep(ftpRqNameList, "NLST"); }
bool TCustomFtpCli::BeginMlsdStep() { return DownloadStep(ftpRqMlsd, "MLSD"); }

bool TCustomFtpCli::DownloadStep(TFtpRequest rq, const char* verb)
{
    if (!m_controlConnected || !ControlIsConnected()) {
        HandleError(std::string(verb) + ": not connected");
        return false;
    }
    if (m_localFileName.empty() && !m_displayFileFlag) {
        HandleError("LocalFileName empty");
        return false;
    }
    std::string cmd = verb;
    if (!m_hostFileName.empty())
        cmd += " " + m_hostFileName;
    if (!CheckCommandText(cmd))
        return false;
    if (!m_sequenceActive)
        m_requestType = rq;
    m_dnlVerb = verb;
    m_transferLimit = rq == ftpRqGet ? m_downLimit : nullptr;
    m_resumeScoped = true;
    m_transferReplyFlag = false;
    m_transferAborted = false;
    m_dnlClosedFlag = false;
    m_requestDoneFlag = false;
    m_byteCount = 0;
    m_dataCloseError = 0;
    m_localFailCode = 0;
    m_dataSocket->OnSessionAvailable = [this](net::TCustomWSocket*, std::uint16_t e) {
        DataSessionAvailableDownload(e);
    };
    if (m_acceptPending && !m_passive) {
        m_acceptPending = false;
        DataSessionAvailableDownload(0);
    }

    if (!m_displayFileFlag) {
        CloseLocalStream();
        if (!PrepareLocalFile()) {
            FailDataRequest(550, "Unable to open local file " + m_localFileName);
            return true;
        }
    }

    if (m_passive && !ConnectPassiveData(&TCustomFtpCli::DataSessionConnectedDownload, 550))
        return true;
    SetState(ftpStateAwaitReply);
    m_next = &TCustomFtpCli::DownloadFirstReply;
    SendCommand(cmd);
    return true;
}

// Nothing on the local disk changes before the server accepts the download:
// an existing file is only opened here (which checks it can be written and
// takes its lock) and a new one only checked for; OpenAcceptedLocalFile
// empties or creates it on the 150 or the first data, whichever comes first.
// A restart writes into the existing file from its offset.
bool TCustomFtpCli::PrepareLocalFile()
{
    m_localFd = OpenLocal(m_localFileName, O_WRONLY, m_shareBits);
    if (m_resumeAt > 0) {
        if (m_localFd >= 0 && ::lseek(m_localFd, m_resumeAt, SEEK_SET) < 0)
            CloseLocalStream();
        return m_localFd >= 0;
    }
    if (m_localFd < 0 && (errno != ENOENT || !FolderWritable(m_localFileName)))
        return false;
    m_localPending = true;
    return true;
}

bool TCustomFtpCli::OpenAcceptedLocalFile()
{
    if (!m_localPending)
        return true;
    m_localPending = false;
    if (m_localFd < 0) {
        m_localFd = OpenLocal(m_localFileName, O_WRONLY | O_CREAT | O_TRUNC, m_shareBits);
    } else {
        struct stat st{};
        // A device (a pipe, /dev/null) has nothing to empty.
        if (::fstat(m_localFd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(m_localFd, 0) != 0)
            CloseLocalStream();
    }
    if (m_localFd >= 0)
        return true;
    const std::string text = "550 Unable to open local file " + m_localFileName + ": " + std::strerror(errno);
    Display("! " + text);
    LocalTransferFailed(550, text);
    return false;
}

// A failure of the local file ends the transfer as a failure whatever the
// server replies. The data connection is reset, so the server does not take
// what it got for the whole file. Unless the transfer's final reply is already
// in, ABOR follows: a server that never saw the data connection would
// otherwise never answer. The request ends on the server's last reply, so the
// control connection stays in step. What was written stays for a restart.
void TCustomFtpCli::LocalTransferFailed(int code, const std::string& text)
{
    if (m_localFailCode != 0)
        return;
    m_localFailCode = code;
    m_localFailText = text;
    CloseLocalStream();
    if (!m_transferReplyFlag) {
        m_next = &TCustomFtpCli::AbortedTransferReply;
        SendCommand("ABOR");
    }
    static_cast<TFtpDataSocket*>(m_dataSocket.get())->AbortConnection();
}

// Replies after the ABOR of a failed transfer: the transfer's own final reply
// may come first (426, or 226 when it was over); the ABOR's reply ends the
// request. 225 means the server had no transfer, so no reply of its own.
void TCustomFtpCli::AbortedTransferReply()
{
    DisplayReply();
    const int code = m_statusCode;
    if (code < 200)
        return;
    if (code != 225 && !m_transferReplyFlag) {
        m_transferReplyFlag = true;
        return;
    }
    m_next = nullptr;
    m_resumeAt = 0;
    m_requestResult = ReportLocalFailure();
    FinishRequest(m_requestResult);
}

// The local failure becomes the request's result and message.
int TCustomFtpCli::ReportLocalFailure()
{
    m_lastResponse = m_localFailText;
    m_statusCode = m_localFailCode == net::kTlsErrCertificate ? 425 : m_localFailCode;
    m_errorMessage = m_localFailText;
    return m_localFailCode;
}

void TCustomFtpCli::DataSessionAvailableDownload(std::uint16_t)
{
    net::TWSocket* d = m_dataSocket.get();
    net::TSocket h = d->Accept();
    d->Close();
    d->OnSessionClosed = [this](net::TCustomWSocket*, std::uint16_t e) { DataSessionClosedDownload(e); };
    d->OnDataAvailable = [this](net::TCustomWSocket*, std::uint16_t e) { DataAvailableDownload(e); };
    d->OnDataSent = nullptr;
    d->Dup(h);
    d->SetComponentOptions(net::TWSocketOptions{net::wsoNoReceiveLoop});
    m_startTime = platform::GetTickCount();
    StartDataTls();
}

void TCustomFtpCli::DataSessionConnectedDownload(std::uint16_t err)
{
    net::TWSocket* d = m_dataSocket.get();
    d->OnSessionClosed = [this](net::TCustomWSocket*, std::uint16_t e) { DataSessionClosedDownload(e); };
    d->OnDataAvailable = [this](net::TCustomWSocket*, std::uint16_t e) { DataAvailableDownload(e); };
    d->OnDataSent = nullptr;
    m_startTime = platform::GetTickCount();
    if (err != 0)
        DataConnectFailed(err);
    else
        StartDataTls();
}

void TCustomFtpCli::DownloadFirstReply()
{
    DisplayReply();
    int code = m_statusCode;
    if ((code >= 150 && code <= 159) || code == 125) {
        m_next = &TCustomFtpCli::DownloadSecondReply;
        if (OpenAcceptedLocalFile() && m_dnlClosedFlag)
            CloseLocalStream(); // the data came and went before the reply
        return;
    }
    FirstReplyFailed(code);
}

void TCustomFtpCli::DownloadSecondReply()
{
    DisplayReply();
    int code = m_statusCode;
    if (code == 125 || code == 226 || code == 250) {
        m_transferReplyFlag = true;
        DownloadCompletionCheck();
        return;
    }
    TransferReplyFailed(code, "! RETR/LIST/NLST Failed");
}

bool TCustomFtpCli::ProgressNotify()
{
    bool abort = false;
    if (OnProgress)
        OnProgress(this, m_byteCount + m_resumeAt, abort);
    ProgressNotified();
    if (abort) {
        m_transferAborted = true;
        Display("! Abort requested");
        m_dataSocket->Close();
        return true;
    }
    return false;
}

bool TCustomFtpCli::AbortTransfer()
{
    if (m_dataSocket->State() != net::wsConnected)
        return false;
    // A server that sent everything still answers 226: the file is cut all the same.
    m_transferAborted = true;
    Display("! Abort requested");
    m_dataSocket->Close();
    return true;
}

// Writes received bytes to the local file and/or hands them to OnDisplayFile
// cut at CR and LF. False when the local file could not be written.
bool TCustomFtpCli::StoreDownloadBytes(const char* p, int n)
{
    if (m_localFailCode != 0 || !OpenAcceptedLocalFile())
        return false;
    m_byteCount += n;
    if (m_localFd >= 0) {
        const char* q = p;
        std::size_t left = static_cast<std::size_t>(n);
        while (left > 0) {
            ssize_t w = ::write(m_localFd, q, left);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                const int err = w < 0 ? errno : ENOSPC;
                Display("! Error writing local file");
                LocalTransferFailed(550, "550 Error writing local file " + m_localFileName + ": " +
                                             std::strerror(err));
                return false;
            }
            q += w;
            left -= static_cast<std::size_t>(w);
        }
    }
    if (m_displayFileFlag) {
        int i = 0;
        while (i < n) {
            int start = i;
            while (i < n && p[i] != '\r' && p[i] != '\n')
                ++i;
            if (OnDisplayFile)
                OnDisplayFile(this, std::string(p + start, static_cast<std::size_t>(i - start)));
            while (i < n && (p[i] == '\r' || p[i] == '\n'))
                ++i;
        }
    }
    return true;
}

void TCustomFtpCli::DataAvailableDownload(std::uint16_t)
{
    if (ProgressNotify())
        return;
    net::TWSocket* d = m_dataSocket.get();
    int want = m_recvBlockSize;
    net::TRateLimit* limit = TransferLimit();
    // The socket drains what a closing peer left behind through here: that
    // is read whatever the bucket holds, and paid for before the end.
    if (limit && !d->InCloseEvent()) {
        want = limit->Grant(want);
        if (want == 0) {
            // Nothing more is read, nor is the close told, until the timer.
            d->Pause();
            return ThrottleWait(thrRead);
        }
    }
    int n = d->Receive(m_recvBuffer.get(), want);
    if (n > 0 && limit)
        limit->Consume(n);
    if (n > 0) {
        StoreDownloadBytes(m_recvBuffer.get(), n); // a failure resets the connection
    } else if (n < 0 && m_protP && d->TlsStreamErrorCode() != 0) {
        DataStreamFailed(d);
    } else if (n < 0 && d->State() == net::wsConnected) {
        if (d->LastError() != platform::WSAEWOULDBLOCK) {
            Display("! Data: Receive error " + std::to_string(d->LastError()));
            d->Shutdown(2);
        }
    }
}

// The encrypted data stream was cut or corrupted: the download fails; what
// was written stays for a resume.
void TCustomFtpCli::DataStreamFailed(net::TWSocket* d)
{
    if (m_localFailCode != 0)
        return;
    const std::string text = "426 Download incomplete: " + d->TlsStreamError() + " (" +
                             std::to_string(m_byteCount) + " bytes received)";
    Display("! " + text);
    LocalTransferFailed(426, text);
}

void TCustomFtpCli::DataSessionClosedDownload(std::uint16_t err)
{
    // Whatever is still buffered belongs to the file.
    net::TWSocket* d = m_dataSocket.get();
    for (int guard = 0; guard < 1 << 16 && d->State() != net::wsClosed; ++guard) {
        int n = d->Receive(m_recvBuffer.get(), m_recvBlockSize);
        if (n > 0 && TransferLimit())
            TransferLimit()->Consume(n);
        if (n <= 0 || !StoreDownloadBytes(m_recvBuffer.get(), n))
            break;
    }
    // An encrypted stream is whole only when it ended with close_notify,
    // whatever the final reply says.
    if (m_protP && d->TlsStreamErrorCode() != 0)
        DataStreamFailed(d);
    // Before the server's 150 nothing was written: its reply still decides.
    if (!m_localPending)
        CloseLocalStream();
    m_dnlClosedFlag = true;
    m_dataCloseError = err;
    DownloadCompletionCheck();
}

void TCustomFtpCli::DownloadCompletionCheck() { CompleteTransferWhenClosed(m_dnlClosedFlag); }

// A transfer ends once both the final reply has come and the data connection has closed.
void TCustomFtpCli::CompleteTransferWhenClosed(bool dataClosed)
{
    if (!m_transferReplyFlag || !dataClosed)
        return;
    // The last bytes are paid for before the transfer counts as done, so the
    // next one cannot start on credit.
    if (net::TRateLimit* limit = TransferLimit();
        limit && limit->WaitMs() > 0 && !m_transferAborted && m_localFailCode == 0)
        return ThrottleWait(thrFinish);
    TransferSummary();
    m_resumeAt = 0;
    int result = m_localFailCode != 0 ? ReportLocalFailure() : m_dataCloseError;
    if (m_transferAborted && result == 0) {
        result = 426;
        m_lastResponse = m_errorMessage = "426 Transfer aborted.";
        m_statusCode = 426;
    }
    m_requestResult = result;
    FinishRequest(result);
}

void TCustomFtpCli::TransferSummary()
{
    m_stopTime = platform::GetTickCount();
    std::uint32_t elapsed = m_stopTime - m_startTime;
    std::string text = std::to_string(m_byteCount) + " bytes received/sent in " +
                       std::to_string(elapsed / 1000) + " seconds";
    if (elapsed != 0) {
        std::int64_t rate = m_byteCount <= 32767 ? m_byteCount * 1000 / elapsed
                                                 : m_byteCount / elapsed * 1000;
        text += " (" + std::to_string(rate) + " Bytes/sec)";
    }
    Display("! " + text);
}

// ---------------------------------------------------------------- data connection

// Connects the passive data socket; a failure finishes the request (a connect
// exception with failCode) and returns false.
bool TCustomFtpCli::ConnectPassiveData(void (TCustomFtpCli::*connected)(std::uint16_t), int failCode)
{
    std::string addr, port;
    if (!PreparePassiveAddress(addr, port)) {
        CloseLocalStream();
        m_dataSocket->Close();
        m_requestResult = 550;
        FinishRequest(550);
        return false;
    }
    try {
        net::TWSocket* d = m_dataSocket.get();
        ApplySocks(d);
        d->SetPort(port);
        d->SetAddr(addr);
        d->SetLocalAddr(m_localAddr);
        d->SetLingerOnOff(net::wsLingerOff);
        d->SetLingerTimeout(0);
        d->SetComponentOptions(net::TWSocketOptions{net::wsoNoReceiveLoop});
        d->OnSessionConnected = [this, connected](net::TCustomWSocket*, std::uint16_t e) { (this->*connected)(e); };
        d->Connect();
    } catch (const std::exception& e) {
        CloseLocalStream();
        FailDataRequest(failCode, std::to_string(failCode) + " " + ExceptionClassName(e) + ": " + e.what());
        return false;
    }
    return true;
}

void TCustomFtpCli::FailDataRequest(int code, const std::string& text)
{
    m_lastResponse = text;
    m_statusCode = code;
    SetErrorMessage();
    m_dataSocket->Close();
    m_requestResult = code;
    FinishRequest(code);
}

void TCustomFtpCli::DataConnectFailed(std::uint16_t err)
{
    m_lastResponse = "Unable to establish data connection, error #" + std::to_string(err);
    m_statusCode = 550;
    SetErrorMessage();
    m_dataSocket->OnSessionClosed = nullptr;
    m_dataSocket->Close();
    CloseLocalStream();
    m_requestResult = 550;
    FinishRequest(550);
}

// The server refused the transfer command.
void TCustomFtpCli::FirstReplyFailed(int code)
{
    SetErrorMessage();
    m_next = nullptr;
    m_dataSocket->OnSessionClosed = nullptr;
    m_dataSocket->Close();
    CloseLocalStream();
    m_resumeAt = 0;
    m_requestResult = code;
    FinishRequest(code);
}

// The server reported the transfer itself failed.
void TCustomFtpCli::TransferReplyFailed(int code, const char* display)
{
    SetErrorMessage();
    CloseLocalStream();
    m_dataSocket->OnSessionClosed = nullptr;
    m_dataSocket->Close();
    Display(display);
    if (m_localFailCode != 0)
        code = ReportLocalFailure(); // the server's failure followed ours
    m_resumeAt = 0;
    m_requestResult = code;
    FinishRequest(code);
}

// ---------------------------------------------------------------- uploads

bool TCustomFtpCli::BeginStor() { return UploadStep(false); }
bool TCustomFtpCli::BeginAppe() { return UploadStep(true); }

bool TCustomFtpCli::UploadStep(bool append)
{
    m_appendFlag = append;
    if (!m_controlConnected || !ControlIsConnected()) {
        HandleError("STOR/APPE: not connected");
        return false;
    }
    if (m_localFileName.empty()) {
        HandleError("LocalFileName empty");
        return false;
    }
    if (!CheckCommandText(m_hostFileName))
        return false;
    // Inside a sequence (a restarted put) the request is the sequence's: its
    // done event must name the request that was begun.
    if (!m_sequenceActive)
        m_requestType = append ? ftpRqAppend : ftpRqPut;
    m_transferLimit = m_upLimit;
    m_resumeScoped = true;
    m_transferReplyFlag = false;
    m_transferAborted = false;
    m_uplClosedFlag = false;
    m_requestDoneFlag = false;
    m_dataOpenFlag = false;
    m_goAheadFlag = false;
    m_earlyData = false;
    m_startTime = 0;
    m_byteCount = 0;
    m_dataCloseError = 0;
    m_localFailCode = 0;

    bool cancel = false;
    if (OnReadyToTransmit)
        OnReadyToTransmit(this, cancel);
    auto fail426 = [this](const std::string& text) {
        m_errorMessage = text;
        m_statusCode = 426;
        Display("! " + m_errorMessage);
        m_dataSocket->OnSessionClosed = nullptr;
        m_dataSocket->Close();
        m_requestResult = 426;
        FinishRequest(426);
    };
    if (cancel) {
        fail426("426 Transmit cancelled by application");
        return true;
    }
    m_dataSocket->OnSessionAvailable = [this](net::TCustomWSocket*, std::uint16_t e) {
        DataSessionAvailableUpload(e);
    };
    CloseLocalStream();
    m_localFd = OpenLocal(m_localFileName, O_RDONLY, m_shareBits);
    m_eofFlag = false;
    m_shutdownSent = false;
    if (m_localFd >= 0 && m_resumeAt > 0 && ::lseek(m_localFd, m_resumeAt, SEEK_SET) < 0)
        CloseLocalStream();
    if (m_localFd < 0) {
        fail426("426 Unable to open local file " + m_localFileName);
        return true;
    }
    // The first block is read before the server is asked: a file that cannot
    // be read at all fails here, before the server holds a half-made transfer.
    m_firstBlock = ReadLocalBlock();
    if (m_firstBlock < 0) {
        const int err = errno;
        CloseLocalStream();
        fail426("426 Error reading local file " + m_localFileName + ": " + std::strerror(err));
        return true;
    }
    if (m_acceptPending && !m_passive) {
        m_acceptPending = false;
        DataSessionAvailableUpload(0);
    }
    if (m_passive) {
        ConnectPassiveData(&TCustomFtpCli::DataSessionConnectedUpload, 426);
        return true;
    }
    SendUploadCommand();
    return true;
}

void TCustomFtpCli::SendUploadCommand()
{
    SetState(ftpStateAwaitReply);
    m_next = &TCustomFtpCli::UploadFirstReply;
    SendCommand((m_appendFlag ? "APPE " : "STOR ") + m_hostFileName);
}

void TCustomFtpCli::DataSessionConnectedUpload(std::uint16_t err)
{
    net::TWSocket* d = m_dataSocket.get();
    d->OnSessionClosed = [this](net::TCustomWSocket*, std::uint16_t e) { DataSessionClosedUpload(e); };
    d->OnDataAvailable = nullptr;
    d->OnDataSent = nullptr;
    m_dataOpenFlag = true;
    m_startTime = platform::GetTickCount();
    if (err != 0) {
        DataConnectFailed(err);
        return;
    }
    StartDataTls();
    SendUploadCommand();
    // A passive data connection is the server's own listener: what is sent
    // now waits in its buffers until the STOR is taken, which saves waiting
    // a round trip for the 150. Not under TLS: its handshake comes first.
    if (m_earlyUploadData && !m_protP && m_passive) {
        m_earlyData = true;
        d->OnDataSent = [this](net::TCustomWSocket*, std::uint16_t e) { SendNextBlock(e); };
        SendNextBlock(0);
    }
}

void TCustomFtpCli::DataSessionAvailableUpload(std::uint16_t)
{
    net::TWSocket* d = m_dataSocket.get();
    net::TSocket h = d->Accept();
    d->Close();
    d->OnSessionClosed = [this](net::TCustomWSocket*, std::uint16_t e) { DataSessionClosedUpload(e); };
    d->OnDataAvailable = [this](net::TCustomWSocket*, std::uint16_t e) { DataAvailableDiscard(e); };
    d->OnDataSent = [this](net::TCustomWSocket*, std::uint16_t e) { SendNextBlock(e); };
    d->Dup(h);
    d->SetComponentOptions(net::TWSocketOptions{net::wsoNoReceiveLoop});
    int sndbuf = 0;
    socklen_t len = sizeof sndbuf;
    if (platform::getsockopt(h, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len) != 0) {
        HandleError("winsock.getsockopt(SO_SNDBUF) failed");
        return;
    }
    d->SetLingerOnOff(net::wsLingerOff);
    d->SetLingerTimeout(10);
    linger lg{0, 10};
    platform::setsockopt(h, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    m_dataOpenFlag = true;
    StartDataTls();
    if (m_goAheadFlag && m_startTime == 0)
        platform::PostMessage(m_hwnd, WM_FTP_SEND_START, 0, 0);
}

void TCustomFtpCli::DataAvailableDiscard(std::uint16_t)
{
    char buf[2048];
    m_dataSocket->Receive(buf, sizeof buf);
}

void TCustomFtpCli::UploadFirstReply()
{
    DisplayReply();
    int code = m_statusCode;
    if (code == 150 || code == 125) {
        m_goAheadFlag = true;
        m_next = &TCustomFtpCli::UploadSecondReply;
        if (m_earlyData) {
            // already sending
        } else if (m_passive) {
            m_dataSocket->OnDataSent = [this](net::TCustomWSocket*, std::uint16_t e) { SendNextBlock(e); };
            SendNextBlock(0);
        } else if (m_dataOpenFlag && m_startTime == 0) {
            platform::PostMessage(m_hwnd, WM_FTP_SEND_START, 0, 0);
        }
        return;
    }
    FirstReplyFailed(code);
}

void TCustomFtpCli::StartSending()
{
    m_startTime = platform::GetTickCount();
    SendNextBlock(0);
}

void TCustomFtpCli::SendNextBlock(std::uint16_t err)
{
    if (m_localFd < 0)
        return;
    if (ProgressNotify())
        return;
    net::TWSocket* d = m_dataSocket.get();
    if (err != 0) {
        Display("! Error #" + std::to_string(err) + " sending data");
        d->Close();
        return;
    }
    if (m_eofFlag) {
        // The half-close goes out only once the socket's queue is empty, so
        // the end of the file is never cut off.
        if (!m_shutdownSent && d->AllSent()) {
            m_shutdownSent = true;
            d->Shutdown(1);
        }
        return;
    }
    if (!(m_goAheadFlag || m_earlyData) || !m_dataOpenFlag)
        return;
    net::TRateLimit* limit = TransferLimit();
    if (limit && limit->Grant(m_sendBlockSize) == 0)
        return ThrottleWait(thrSend); // the timer sends the next block
    ssize_t n = m_firstBlock;
    if (n >= 0)
        m_firstBlock = -1; // already in the buffer
    else
        n = ReadLocalBlock();
    if (n < 0) {
        const int err = errno;
        Display(std::string("! Error reading file EInOutError: ") + std::strerror(err));
        LocalTransferFailed(426, "426 Error reading local file " + m_localFileName + ": " + std::strerror(err));
        return;
    }
    if (n == 0) {
        m_eofFlag = true;
        if (d->AllSent()) {
            m_shutdownSent = true;
            d->Shutdown(1);
        }
        return;
    }
    m_byteCount += n;
    if (limit)
        limit->Consume(n);
    d->Send(m_sendBuffer.get(), static_cast<int>(n));
}

ssize_t TCustomFtpCli::ReadLocalBlock()
{
    ssize_t n;
    do
        n = ::read(m_localFd, m_sendBuffer.get(),
            static_cast<std::size_t>(
                m_transferLimit ? m_transferLimit->Slice(m_sendBlockSize) : m_sendBlockSize));
    while (n < 0 && errno == EINTR);
    return n;
}

net::TRateLimit* TCustomFtpCli::TransferLimit() const
{
    return m_transferLimit && m_transferLimit->Limited() ? m_transferLimit.get() : nullptr;
}

void TCustomFtpCli::ThrottleWait(TThrottleWait what)
{
    m_throttle = what;
    const std::uint32_t ms = m_transferLimit ? m_transferLimit->WaitMs() : 0;
    platform::SetTimer(m_hwnd, 1, std::max<std::uint32_t>(ms, 1));
}

void TCustomFtpCli::ThrottleResume()
{
    platform::KillTimer(m_hwnd, 1);
    const TThrottleWait what = std::exchange(m_throttle, thrNone);
    switch (what) {
    case thrRead:
        m_dataSocket->Resume();
        if (m_dataSocket->State() == net::wsConnected)
            DataAvailableDownload(0);
        break;
    case thrSend:
        SendNextBlock(0);
        break;
    case thrFinish:
        CompleteTransferWhenClosed(true);
        break;
    case thrNone:
        break;
    }
}

void TCustomFtpCli::ThrottleCancel()
{
    if (m_throttle == thrNone)
        return;
    platform::KillTimer(m_hwnd, 1);
    if (std::exchange(m_throttle, thrNone) == thrRead)
        m_dataSocket->Resume();
}

void TCustomFtpCli::UploadSecondReply()
{
    DisplayReply();
    int code = m_statusCode;
    if (code == 226 || code == 250) {
        m_transferReplyFlag = true;
        UploadCompletionCheck();
        return;
    }
    TransferReplyFailed(code, "! STOR Failed");
}

void TCustomFtpCli::DataSessionClosedUpload(std::uint16_t err)
{
    // Closed by the far end before the whole file went out (the half-close
    // follows the last byte): the server holds part of it, whatever it replies.
    if ((m_goAheadFlag || m_earlyData) && !m_shutdownSent && !m_transferAborted && m_localFailCode == 0) {
        const std::string text = "426 Upload incomplete: the data connection closed after " +
                                 std::to_string(m_byteCount) + " bytes";
        Display("! " + text);
        LocalTransferFailed(426, text);
    }
    CloseLocalStream();
    m_uplClosedFlag = true;
    m_dataCloseError = err;
    UploadCompletionCheck();
}

void TCustomFtpCli::UploadCompletionCheck() { CompleteTransferWhenClosed(m_uplClosedFlag); }

// ---------------------------------------------------------------- sequences

bool TCustomFtpCli::StartSequence(TFtpRequest rq, TFtpSteps steps)
{
    if (m_controlConnected && steps.Contains(ftpStepOpen)) {
        HandleError("FTP component already connected");
        return false;
    }
    if (!CheckReady())
        return false;
    TakeOperationNames(!m_sequenceActive);
    m_savedResponse = m_lastResponse;
    m_savedCode = -1;
    m_requestType = rq;
    m_requestResult = 0;
    m_stepSet = steps;
    m_currentStep = ftpStepNone;
    m_sequenceResult = 0;
    m_sequenceActive = true;
    m_resumeScoped = steps.Contains(ftpStepRest);
    m_lastResponse.clear();
    m_errorMessage.clear();
    m_nextSequenceStep = nullptr;
    Sequencer();
    return true;
}

// A step whose check refuses it ends the whole request with a failure, so a
// sequence never stops half-way without completing.
bool TCustomFtpCli::StepFailedCheck(const std::string& what)
{
    m_lastResponse = "500 " + what;
    m_statusCode = 500;
    m_requestResult = 500;
    m_errorMessage = m_lastResponse;
    m_nextSequenceStep = nullptr;
    m_requestDoneFlag = false;
    FinishRequest(500);
    return false;
}

bool TCustomFtpCli::RunStep(TFtpStep step)
{
    m_stepSet.Exclude(step);
    TraceStep(step);
    m_currentStep = step;
    std::string refused;
    auto savedOnError = OnError;
    // Check failures are collected here and end the request; they are still
    // reported through OnError when it is assigned.
    OnError = [&refused, savedOnError](TCustomFtpCli* s, const std::string& msg) {
        if (refused.empty())
            refused = msg;
        if (savedOnError)
            savedOnError(s, msg);
    };
    bool started = false;
    try {
        switch (step) {
        case ftpStepOpen: started = BeginOpen(); break;
        case ftpStepAuth: started = BeginAuth(); break;
        case ftpStepPbsz: started = BeginPbsz(); break;
        case ftpStepProt: started = BeginProt(); break;
        case ftpStepUser: started = BeginUser(); break;
        case ftpStepPass: started = BeginPass(); break;
        case ftpStepAcct: started = BeginAcct(); break;
        case ftpStepCwd: started = BeginCwd(); break;
        case ftpStepCdUp: started = BeginCdUp(); break;
        case ftpStepType: started = BeginSendType(); break;
        case ftpStepPort: started = BeginPort(); break;
        case ftpStepRest: started = BeginRest(); break;
        case ftpStepRetr: started = BeginRetr(); break;
        case ftpStepStor: started = BeginStor(); break;
        case ftpStepAppe: started = BeginAppe(); break;
        case ftpStepList: started = BeginList(); break;
        case ftpStepNlst: started = BeginNlst(); break;
        case ftpStepSyst: started = BeginSyst(); break;
        case ftpStepMkd: started = BeginMkd(); break;
        case ftpStepRmd: started = BeginRmd(); break;
        case ftpStepRenameFrom: started = BeginRenameFrom(); break;
        case ftpStepRenameTo: started = BeginRenameTo(); break;
        case ftpStepSize: started = BeginSize(); break;
        case ftpStepDele: started = BeginDele(); break;
        case ftpStepPwd: started = BeginPwd(); break;
        case ftpStepAbor: started = BeginAbor(); break;
        case ftpStepQuote: started = BeginQuote(); break;
        case ftpStepQuit:
            m_savedResponse = m_lastResponse;
            m_savedCode = m_statusCode;
            started = BeginQuit();
            break;
        case ftpStepMlsd: started = BeginMlsdStep(); break;
        case ftpStepFeat: started = BeginFeatStep(); break;
        case ftpStepOpts: started = BeginOptsUtf8(); break;
        default: break;
        }
    } catch (const std::exception& e) {
        if (refused.empty())
            refused = e.what();
    }
    OnError = savedOnError;
    if (!started)
        return StepFailedCheck(refused.empty() ? std::string("Step refused") : refused);
    return true;
}

void TCustomFtpCli::Sequencer()
{
    if (m_state == ftpStateAborting) {
        m_stepSet.Clear();
        m_sequenceResult = 426;
        m_errorMessage = "426 Operation aborted.";
        // The blocking forms judge by RequestResult.
        m_statusCode = m_requestResult = 426;
    }
    m_nextSequenceStep = &TCustomFtpCli::Sequencer;
    InterpretReply();

    static const TFtpStep order[] = {
        ftpStepOpen, ftpStepAuth, ftpStepUser, ftpStepPass, ftpStepAcct, ftpStepPbsz,
        ftpStepProt, ftpStepFeat, ftpStepOpts, ftpStepCwd, ftpStepCdUp, ftpStepType, ftpStepPort, ftpStepRest,
        ftpStepRetr, ftpStepStor, ftpStepAppe, ftpStepList, ftpStepNlst, ftpStepSyst,
        ftpStepMkd, ftpStepRmd, ftpStepRenameFrom, ftpStepRenameTo, ftpStepSize, ftpStepDele,
        ftpStepPwd, ftpStepAbor, ftpStepQuote, ftpStepQuit, ftpStepMlsd};
    for (TFtpStep step : order) {
        if (!m_stepSet.Contains(step))
            continue;
        if ((step == ftpStepAuth || step == ftpStepPbsz || step == ftpStepProt) &&
            !m_options.Contains(ftpAuthSsl) && m_tlsMode == ftpTlsNone) {
            m_stepSet.Exclude(step);
            continue;
        }
        // Data protection only over an encrypted control connection.
        if ((step == ftpStepPbsz || step == ftpStepProt) && m_tlsMode != ftpTlsNone &&
            !m_controlSocket->TlsEstablished()) {
            m_stepSet.Exclude(step);
            continue;
        }
        if (step == ftpStepPass && m_currentStep == ftpStepUser && m_statusCode != 331) {
            m_stepSet.Exclude(step);
            continue;
        }
        // ACCT only when the log-in asked for it: a server that logs in on USER
        // alone needs no account.
        if (step == ftpStepAcct &&
            !((m_currentStep == ftpStepPass || m_currentStep == ftpStepUser) && m_statusCode == 332)) {
            m_stepSet.Exclude(step);
            continue;
        }
        if (step == ftpStepOpts && !(m_useUtf8 && HasFeature("UTF8"))) {
            m_stepSet.Exclude(step);
            continue;
        }
        if (step == ftpStepCwd && m_hostDirName.empty()) {
            m_stepSet.Exclude(step);
            continue;
        }
        if (step == ftpStepRetr &&
            !(m_currentStep == ftpStepRest && m_statusCode == 350 && m_resumeAt >= 0))
            m_resumeAt = 0;
        RunStep(step);
        return;
    }
    m_stepSet.Clear();
    m_nextSequenceStep = nullptr;
    m_requestDoneFlag = false;
    FinishRequest(m_sequenceResult);
}

bool TCustomFtpCli::BeginConnect()
{
    TFtpSteps steps{ftpStepOpen, ftpStepAuth, ftpStepUser, ftpStepPass, ftpStepAcct, ftpStepPbsz, ftpStepProt};
    if (m_useMlsd || m_useUtf8) {
        steps.Include(ftpStepFeat);
        steps.Include(ftpStepOpts);
    }
    return StartSequence(ftpRqConnect, steps);
}
bool TCustomFtpCli::BeginGet() { return StartSequence(ftpRqGet, {ftpStepPort, ftpStepRetr}); }
bool TCustomFtpCli::BeginRestartGet()
{
    return StartSequence(ftpRqRestartGet, {ftpStepPort, ftpStepRest, ftpStepRetr});
}
bool TCustomFtpCli::BeginPut() { return StartSequence(ftpRqPut, {ftpStepPort, ftpStepStor}); }
bool TCustomFtpCli::BeginRestartPut()
{
    return StartSequence(ftpRqRestartPut, {ftpStepPort, ftpStepRest, ftpStepStor});
}
bool TCustomFtpCli::BeginAppend() { return StartSequence(ftpRqAppend, {ftpStepPort, ftpStepAppe}); }
bool TCustomFtpCli::BeginDir() { return StartSequence(ftpRqDir, {ftpStepPort, ftpStepList}); }
bool TCustomFtpCli::BeginNameList() { return StartSequence(ftpRqNameList, {ftpStepPort, ftpStepNlst}); }
bool TCustomFtpCli::BeginMlsd() { return StartSequence(ftpRqMlsd, {ftpStepPort, ftpStepMlsd}); }
bool TCustomFtpCli::BeginRename()
{
    return StartSequence(ftpRqRename, {ftpStepRenameFrom, ftpStepRenameTo});
}
bool TCustomFtpCli::BeginOpenQuit()
{
    return StartSequence(ftpRqOpenQuit, {ftpStepOpen, ftpStepAuth, ftpStepQuit});
}

namespace {
TFtpSteps LoginSteps(std::initializer_list<TFtpStep> more)
{
    TFtpSteps s{ftpStepOpen, ftpStepAuth, ftpStepUser, ftpStepPass, ftpStepAcct,
                ftpStepPbsz, ftpStepProt, ftpStepCwd, ftpStepQuit};
    for (TFtpStep m : more)
        s.Include(m);
    return s;
}
} // namespace

bool TCustomFtpCli::BeginFullGet()
{
    return StartSequence(ftpRqFullGet, LoginSteps({ftpStepType, ftpStepPort, ftpStepRetr}));
}
bool TCustomFtpCli::BeginFullRestartGet()
{
    return StartSequence(ftpRqFullRestartGet,
                         LoginSteps({ftpStepType, ftpStepPort, ftpStepRest, ftpStepRetr}));
}
bool TCustomFtpCli::BeginFullPut()
{
    return StartSequence(ftpRqFullPut, LoginSteps({ftpStepType, ftpStepPort, ftpStepStor}));
}
bool TCustomFtpCli::BeginFullAppend()
{
    return StartSequence(ftpRqFullPut, LoginSteps({ftpStepType, ftpStepPort, ftpStepAppe}));
}
bool TCustomFtpCli::BeginFullRestartPut()
{
    return StartSequence(ftpRqFullRestartPut,
                         LoginSteps({ftpStepType, ftpStepPort, ftpStepRest, ftpStepStor}));
}
bool TCustomFtpCli::BeginFullDir()
{
    return StartSequence(ftpRqFullDir, LoginSteps({ftpStepPort, ftpStepList}));
}
bool TCustomFtpCli::BeginFullNameList()
{
    return StartSequence(ftpRqFullNameList, LoginSteps({ftpStepPort, ftpStepNlst}));
}
bool TCustomFtpCli::BeginFullSyst()
{
    TFtpSteps s = LoginSteps({ftpStepSyst});
    s.Exclude(ftpStepCwd);
    return StartSequence(ftpRqFullSyst, s);
}
bool TCustomFtpCli::BeginFullSize() { return StartSequence(ftpRqSize, LoginSteps({ftpStepSize})); }
bool TCustomFtpCli::BeginFullMkd() { return StartSequence(ftpRqFullMkd, LoginSteps({ftpStepMkd})); }
bool TCustomFtpCli::BeginFullRmd() { return StartSequence(ftpRqFullRmd, LoginSteps({ftpStepRmd})); }
bool TCustomFtpCli::BeginFullDele() { return StartSequence(ftpRqFullDele, LoginSteps({ftpStepDele})); }
bool TCustomFtpCli::BeginFullRename()
{
    return StartSequence(ftpRqFullRename, LoginSteps({ftpStepRenameFrom, ftpStepRenameTo}));
}
bool TCustomFtpCli::BeginFullQuote()
{
    return StartSequence(ftpRqFullQuote, LoginSteps({ftpStepQuote}));
}

// ---------------------------------------------------------------- TFtpClient

TFtpClient::TFtpClient() { SetTimeout(15); }

void TFtpClient::ProgressNotified()
{
    if (m_waiting && m_timeout > 0)
        m_deadline = platform::GetTickCount() + static_cast<std::uint32_t>(m_timeout) * 1000u;
}

bool TFtpClient::Synchronize(bool (TCustomFtpCli::*start)())
{
    try {
        if (!(this->*start)())
            return false;
    } catch (const std::exception&) {
        return false;
    }
    return WaitUntilReady();
}

bool TFtpClient::WaitUntilReady()
{
    m_waiting = true;
    m_deadline = platform::GetTickCount() + static_cast<std::uint32_t>(std::max(m_timeout, 0)) * 1000u;
    platform::IApplicationPump& app = platform::ApplicationPump();
    for (;;) {
        if (State() == ftpStateReady || State() == ftpStateStepReady) {
            m_waiting = false;
            return RequestResult() == 0;
        }
        // The application pump's wait also wakes for the toolkit's own events,
        // which do not pass through the platform loop.
        if (Options().Contains(ftpWaitUsingSleep))
            platform::Sleep(0);
        else
            app.WaitMessage(1000);
        if (!m_multiThreaded)
            app.ProcessMessages();
        else if (OnMessagePump)
            OnMessagePump(this);
        else
            ControlSocket()->PumpMessages();
        if (State() == ftpStateReady || State() == ftpStateStepReady)
            continue;
        bool stop = app.Terminated();
        if (m_timeout > 0 && static_cast<std::int32_t>(platform::GetTickCount() - m_deadline) > 0)
            stop = true;
        if (stop) {
            m_waiting = false;
            AbortWithTimeout();
            return false;
        }
    }
}

bool TFtpClient::Connect() { return Synchronize(&TCustomFtpCli::BeginConnect); }
bool TFtpClient::Cwd() { return Synchronize(&TCustomFtpCli::BeginCwd); }
bool TFtpClient::Pwd() { return Synchronize(&TCustomFtpCli::BeginPwd); }
bool TFtpClient::SendType() { return Synchronize(&TCustomFtpCli::BeginSendType); }
bool TFtpClient::Get() { return Synchronize(&TCustomFtpCli::BeginGet); }
bool TFtpClient::Put() { return Synchronize(&TCustomFtpCli::BeginPut); }
bool TFtpClient::RestartGet() { return Synchronize(&TCustomFtpCli::BeginRestartGet); }
bool TFtpClient::RestartPut() { return Synchronize(&TCustomFtpCli::BeginRestartPut); }
bool TFtpClient::Mlsd() { return Synchronize(&TCustomFtpCli::BeginMlsd); }
bool TFtpClient::Dir() { return Synchronize(&TCustomFtpCli::BeginDir); }
bool TFtpClient::Mkd() { return Synchronize(&TCustomFtpCli::BeginMkd); }
bool TFtpClient::Rmd() { return Synchronize(&TCustomFtpCli::BeginRmd); }
bool TFtpClient::Dele() { return Synchronize(&TCustomFtpCli::BeginDele); }
bool TFtpClient::Rename() { return Synchronize(&TCustomFtpCli::BeginRename); }
bool TFtpClient::Size() { return Synchronize(&TCustomFtpCli::BeginSize); }
bool TFtpClient::Quote() { return Synchronize(&TCustomFtpCli::BeginQuote); }
bool TFtpClient::SiteChmod() { return Synchronize(&TCustomFtpCli::BeginSiteChmod); }
bool TFtpClient::Quit() { return Synchronize(&TCustomFtpCli::BeginQuit); }

bool TFtpClient::Abort()
{
    TCustomFtpCli::Abort();
    return WaitUntilReady();
}

} // namespace ftp
