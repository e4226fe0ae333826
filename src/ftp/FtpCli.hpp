// The FTP client engine: a control connection with its own reply assembly, a
// sequencer for multi-step requests, and data connections for listings and
// file transfers, all over the asynchronous TWSocket.
//
// Threading: everything runs on the thread that created the engine, which must
// run the platform event loop. Operations named Begin* start a request and
// return at once; the request ends with OnRequestDone, which is always posted
// and never fires inside the call that started it. TFtpClient adds blocking
// forms that pump messages until the engine is ready again.
//
// Failures of checks made before anything is sent go through HandleError:
// OnError when assigned, otherwise FtpException. Protocol failures travel as
// reply codes in RequestResult, ErrorMessage and OnRequestDone.
#pragma once

#include "ftp/FtpReply.hpp"
#include "platform/Sockets.hpp"
#include "net/RateLimit.hpp"
#include "net/WSocket.hpp"
#include "platform/EventLoop.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>
#include <sys/types.h>

namespace ftp {

class FtpException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TFtpState : std::uint8_t {
    ftpStateClosed = 0,
    ftpStateReady = 1,
    ftpStateStepReady = 2,
    ftpStateResolving = 3,
    ftpStateConnected = 4,
    ftpStateAborting = 5,
    ftpStateNotUsed6 = 6,
    ftpStateAwaitBanner = 7,
    ftpStateAwaitReply = 8,
    ftpStatePassiveReady = 9,
};
const char* FtpStateName(TFtpState s);

enum TFtpRequest : std::uint8_t {
    ftpRqNone = 0, ftpRqOpen = 1, ftpRqUser = 2, ftpRqPass = 3, ftpRqCwd = 4, ftpRqConnect = 5,
    ftpRqFullGet = 6, ftpRqDir = 7, ftpRqNameList = 8, ftpRqPort = 9, ftpRqGet = 10,
    ftpRqFullDir = 11, ftpRqFullNameList = 12, ftpRqFullSyst = 13, ftpRqSyst = 14, ftpRqQuit = 15,
    ftpRqAbor = 16, ftpRqSize = 17, ftpRqPut = 18, ftpRqAppend = 19, ftpRqMkd = 22, ftpRqRmd = 23,
    ftpRqFullRename = 24, ftpRqDele = 25, ftpRqRename = 26, ftpRqRenameTo = 27,
    ftpRqRenameFrom = 28, ftpRqFullDele = 29, ftpRqFullMkd = 30, ftpRqFullRmd = 31, ftpRqPwd = 32,
    ftpRqQuote = 33, ftpRqCdUp = 34, ftpRqFullQuote = 35, ftpRqFullPut = 36, ftpRqSendType = 37,
    ftpRqRest = 38, ftpRqRestartGet = 39, ftpRqFullRestartGet = 40, ftpRqSiteChmod = 41,
    ftpRqRestartPut = 42, ftpRqFullRestartPut = 43, ftpRqMlsd = 44, ftpRqOpenQuit = 49,
    ftpRqMd5 = 51, ftpRqAcct = 52,
};

enum TFtpStep : std::uint8_t {
    ftpStepNone = 0, ftpStepOpen = 1, ftpStepUser = 2, ftpStepPass = 3, ftpStepCwd = 4,
    ftpStepSize = 5, ftpStepMkd = 6, ftpStepRmd = 7, ftpStepRenameFrom = 8, ftpStepRenameTo = 9,
    ftpStepRetr = 10, ftpStepList = 11, ftpStepQuit = 12, ftpStepSyst = 13, ftpStepDele = 14,
    ftpStepPwd = 15, ftpStepQuote = 16, ftpStepStor = 17, ftpStepType = 18, ftpStepRest = 19,
    ftpStepCdUp = 20, ftpStepNlst = 21, ftpStepAppe = 22, ftpStepPort = 23, ftpStepSiteChmod = 24,
    ftpStepAbor = 25, ftpStepMlsd = 26, ftpStepFeat = 27, ftpStepMlst = 28, ftpStepMdtm = 29,
    ftpStepSetMdtm = 30, ftpStepAuth = 31, ftpStepMfmt = 32, ftpStepMd5 = 33, ftpStepAcct = 34,
    ftpStepProt = 35, ftpStepPbsz = 36,
    ftpStepOpts = 40,
};
const char* FtpStepName(TFtpStep s);
using TFtpSteps = TEnumSet<TFtpStep, std::uint64_t>;

enum TFtpOption : std::uint8_t { ftpAcceptLF, ftpNoAutoResumeAt, ftpAuthSsl, ftpWaitUsingSleep };
using TFtpOptions = TEnumSet<TFtpOption, std::uint8_t>;

// Explicit TLS: none (plain FTP), when the server offers it, or required
// (a server that refuses AUTH TLS ends the connection before the log-in).
enum TFtpTlsMode : std::uint8_t { ftpTlsNone, ftpTlsIfAvailable, ftpTlsRequire };

enum TFtpShareMode : std::uint8_t {
    ftpShareCompat, ftpShareExclusive, ftpShareDenyWrite, ftpShareDenyRead, ftpShareDenyNone
};

enum TFtpConnectionType : std::uint8_t { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };

class TCustomFtpCli;

using TFtpDisplay = std::function<void(TCustomFtpCli* Sender, const std::string& Msg)>;
using TFtpCommand = std::function<void(TCustomFtpCli* Sender, std::string& Cmd)>;
using TNotifyEvent = std::function<void(TCustomFtpCli* Sender)>;
using TSessionConnected = std::function<void(TCustomFtpCli* Sender, std::uint16_t ErrCode)>;
using TSessionClosed = std::function<void(TCustomFtpCli* Sender, std::uint16_t ErrCode)>;
using TFtpRequestDone =
    std::function<void(TCustomFtpCli* Sender, TFtpRequest RqType, std::uint16_t ErrCode)>;
// Count is 64-bit: ByteCount plus ResumeAt, which may pass 4 GiB.
using TFtpProgress = std::function<void(TCustomFtpCli* Sender, std::int64_t Count, bool& Abort)>;
using TFtpReadyToTransmit = std::function<void(TCustomFtpCli* Sender, bool& bCancel)>;
using TFtpBgException =
    std::function<void(TCustomFtpCli* Sender, const std::exception& E, bool& CanClose)>;
// A server certificate that failed verification (control or data connection).
// Accept is false on entry; the handler may run a modal dialog.
using TFtpCertificateCheck =
    std::function<void(TCustomFtpCli* Sender, const net::TCertInfo& Info, bool& Accept)>;

// Private messages of the engine window.
constexpr platform::UINT WM_FTP_REQUEST_DONE = platform::WM_USER + 1;
constexpr platform::UINT WM_FTP_SEND_START = platform::WM_USER + 2;

class TCustomFtpCli {
public:
    TCustomFtpCli();
    virtual ~TCustomFtpCli();
    TCustomFtpCli(const TCustomFtpCli&) = delete;
    TCustomFtpCli& operator=(const TCustomFtpCli&) = delete;

    // ---- properties ----
    const std::string& HostName() const { return m_hostName; }
    void SetHostName(const std::string& v) { m_hostName = v; }
    const std::string& Port() const { return m_port; }
    void SetPort(const std::string& v) { m_port = v; }
    unsigned DataPortRangeStart() const { return m_dataPortRangeStart; }
    void SetDataPortRangeStart(unsigned v);
    unsigned DataPortRangeEnd() const { return m_dataPortRangeEnd; }
    void SetDataPortRangeEnd(unsigned v);
    const std::string& LocalAddr() const { return m_localAddr; }
    void SetLocalAddr(const std::string& v) { m_localAddr = v; }
    const std::string& UserName() const { return m_userName; }
    void SetUserName(const std::string& v) { m_userName = v; }
    const std::string& PassWord() const { return m_passWord; }
    void SetPassWord(const std::string& v) { m_passWord = v; }
    const std::string& Account() const { return m_account; }
    void SetAccount(const std::string& v) { m_account = v; }
    // An operation takes these four when it starts: a value set while one
    // runs is kept for the next and never reaches the commands in flight.
    const std::string& HostDirName() const { return m_set.HostDirName; }
    void SetHostDirName(const std::string& v) { m_set.HostDirName = v; TakeOperationNames(); }
    const std::string& HostFileName() const { return m_set.HostFileName; }
    void SetHostFileName(const std::string& v) { m_set.HostFileName = v; TakeOperationNames(); }
    const std::string& LocalFileName() const { return m_set.LocalFileName; }
    void SetLocalFileName(const std::string& v) { m_set.LocalFileName = v; TakeOperationNames(); }
    const std::string& ChmodMode() const { return m_set.ChmodMode; }
    void SetChmodMode(const std::string& v) { m_set.ChmodMode = v; TakeOperationNames(); }
    bool DisplayFileFlag() const { return m_displayFileFlag; }
    void SetDisplayFileFlag(bool v) { m_displayFileFlag = v; }
    bool Binary() const { return m_type == 'I'; }
    void SetBinary(bool v) { m_type = v ? 'I' : 'A'; }
    const std::string& ErrorMessage() const { return m_errorMessage; }
    TFtpShareMode ShareMode() const;
    void SetShareMode(TFtpShareMode v);
    TFtpOptions Options() const { return m_options; }
    void SetOptions(TFtpOptions v) { m_options = v; }
    TFtpConnectionType ConnectionType() const { return m_connectionType; }
    void SetConnectionType(TFtpConnectionType v);
    const std::string& ProxyServer() const { return m_proxyServer; }
    void SetProxyServer(const std::string& v) { m_proxyServer = v; }
    const std::string& ProxyPort() const { return m_proxyPort; }
    void SetProxyPort(const std::string& v) { m_proxyPort = v; }
    std::string SocksPassword() const;
    void SetSocksPassword(const std::string& v);
    std::string SocksPort() const;
    void SetSocksPort(const std::string& v);
    std::string SocksServer() const;
    void SetSocksServer(const std::string& v);
    std::string SocksUserCode() const;
    void SetSocksUserCode(const std::string& v);

    TFtpState State() const { return m_state; }
    bool Connected() const;
    bool Passive() const { return m_passive; }
    void SetPassive(bool v);
    int StatusCode() const { return m_statusCode; }
    int RequestResult() const { return m_requestResult; }
    const std::string& LastResponse() const { return m_lastResponse; }
    const std::string& LastMultiResponse() const { return m_lastMultiResponse; }
    const std::string& DirResult() const { return m_dirResult; }
    std::int64_t SizeResult() const { return m_sizeResult; }
    std::int64_t ByteCount() const { return m_byteCount; }
    std::int64_t ResumeAt() const { return m_resumeAt; }
    void SetResumeAt(std::int64_t v) { m_resumeAt = v; }
    double RemoteFileDateTime() const { return m_remoteFileDateTime; }
    void SetRemoteFileDateTime(double v) { m_remoteFileDateTime = v; }
    const std::string& RemoteFacts() const { return m_remoteFacts; }
    const std::string& MlstFacts() const { return m_mlstFacts; }
    TFtpFeatures SupportedExtensions() const { return m_supportedExtensions; }

    // Extensions a site may ask for; all off by default, and then the
    // dialogue is exactly the plain one. With UseMlsd or UseUtf8 the log-in
    // ends with FEAT; with UseUtf8 and UTF8 among the features, OPTS UTF8 ON
    // follows. Neither step fails the log-in.
    bool UseMlsd() const { return m_useMlsd; }
    void SetUseMlsd(bool v) { m_useMlsd = v; }
    bool UseUtf8() const { return m_useUtf8; }
    void SetUseUtf8(bool v) { m_useUtf8 = v; }
    // A PASV (PORT) refused with 500 or 502 is tried again as EPSV (EPRT |1|),
    // which then stays in use for the session. Off by default.
    bool EpsvFallback() const { return m_epsvFallback; }
    void SetEpsvFallback(bool v) { m_epsvFallback = v; }
    // The feature lines of the last FEAT reply, trimmed ("MLST type*;size*;", "UTF8").
    const std::vector<std::string>& Features() const { return m_featLines; }
    // True when a feature line's first word is name (case ignored).
    bool HasFeature(const std::string& name) const;
    // What the session uses: MLSD when asked for and offered (MLST or MLSD in
    // FEAT), UTF-8 when asked for and offered (UTF8 in FEAT; OPTS UTF8 ON
    // was sent, whatever its reply).
    bool MlsdInForce() const;
    bool Utf8InForce() const { return m_utf8InForce; }
    // "MLSD", "UTF-8", "MLSD, UTF-8" or "" for the log after log-in.
    std::string ExtensionsInForce() const;
    // True when the control connection runs over IPv6 (EPSV and EPRT then).
    bool ControlIsIPv6() const;
    const std::string& Md5Result() const { return m_md5Result; }
    TFtpRequest RequestType() const { return m_requestType; }
    TFtpStep CurrentStep() const { return m_currentStep; }
    const std::string& DnsResult() const { return m_dnsResult; }
    net::TWSocket* ControlSocket() const { return m_controlSocket.get(); }
    net::TWSocket* DataSocket() const { return m_dataSocket.get(); }
    platform::HWND Handle() const { return m_hwnd; }

    // Explicit TLS (default none: plain FTP as ever). With TLS the log-in
    // sends AUTH TLS after the welcome, and PBSZ 0 and PROT P after the
    // log-in; every data connection is then encrypted and resumes the control
    // connection's session.
    // Under ftpTlsRequire the USER, PASS and ACCT commands are refused until the
    // control connection is encrypted, and a refused PBSZ or PROT P closes
    // the session; under ftpTlsIfAvailable a refusal is logged and the data
    // connections go unencrypted (DataProtected() false).
    // A failed handshake ends the request with net::kTlsErrHandshake, a
    // refused certificate with net::kTlsErrCertificate (RequestResult and
    // OnRequestDone; StatusCode is 500, no reply having come). A data
    // connection's refused certificate fails the transfer with
    // net::kTlsErrCertificate too (StatusCode 425).
    // A download over an encrypted data connection that ends without
    // close_notify, or with a failed record, fails (426) whatever the final
    // reply says; the partial file stays for a resume.
    TFtpTlsMode TlsMode() const { return m_tlsMode; }
    void SetTlsMode(TFtpTlsMode v) { m_tlsMode = v <= ftpTlsRequire ? v : ftpTlsNone; }
    // Trust anchors besides the system store (see net::TTlsParams): a PEM
    // file and a hashed folder; empty: none.
    const std::string& CaFile() const { return m_caFile; }
    void SetCaFile(const std::string& v) { m_caFile = v; }
    const std::string& CaPath() const { return m_caPath; }
    void SetCaPath(const std::string& v) { m_caPath = v; }
    // "TLS 1.3, AES-256-GCM" while the control connection is encrypted, else empty.
    std::string TlsDescription() const;
    // True once PROT P was accepted: data connections are encrypted.
    bool DataProtected() const { return m_protP; }
    // The certificate the user accepted for this session's control
    // connection ("Connect once"); empty when none was asked about.
    const std::string& AcceptedFingerprint() const { return m_acceptedFingerprint; }
    // Takes the server, log-in, proxy, TLS, extension and transfer settings
    // of other, so that this engine connects as other did (a second
    // connection to the same site). Events and session state are not copied.
    void CopyConnectionSettings(const TCustomFtpCli& other);

    // ---- events ----
    TFtpDisplay OnDisplay;
    TFtpDisplay OnDisplayFile;
    TFtpDisplay OnError;
    TFtpCommand OnCommand;
    TNotifyEvent OnResponse;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TNotifyEvent OnStateChange;
    TFtpRequestDone OnRequestDone;
    TFtpProgress OnProgress;
    TFtpReadyToTransmit OnReadyToTransmit;
    TFtpBgException OnBgException;
    // No handler: a certificate that fails verification is refused. A data
    // connection showing the certificate the user accepted for the control
    // connection is not asked about again.
    TFtpCertificateCheck OnCertificateCheck;
    // The state machine's trace, for debugging: "state Ready -> AwaitReply" at
    // every state change and "step LIST" when a request's next step starts
    // (the names of FtpStateName and FtpStepName). Without a handler no line
    // is built.
    TFtpDisplay OnTrace;

    // ---- operations (each returns false when refused before anything started) ----
    bool BeginOpen();
    bool BeginUser();
    bool BeginPass();
    bool BeginAcct();
    bool BeginCwd();
    bool BeginCdUp();
    bool BeginPwd();
    bool BeginMkd();
    bool BeginRmd();
    bool BeginDele();
    bool BeginRenameFrom();
    bool BeginRenameTo();
    bool BeginSize();
    bool BeginSyst();
    bool BeginSendType();
    bool BeginSendTypeBinary();
    bool BeginSendTypeAscii();
    bool BeginRest();
    bool BeginQuote();
    bool BeginAbor();
    bool BeginQuit();
    bool BeginSiteChmod();
    bool BeginMlst();
    bool BeginFeat();
    bool BeginMdtm();
    bool BeginSetMdtm();
    bool BeginMfmt();
    bool BeginMd5();
    bool BeginAuth();
    bool BeginProt();
    bool BeginPbsz();
    bool BeginPort();
    bool BeginRetr();
    bool BeginList();
    bool BeginNlst();
    bool BeginMlsdStep();
    bool BeginFeatStep();
    bool BeginOptsUtf8();
    bool BeginStor();
    bool BeginAppe();

    bool BeginConnect();
    bool BeginGet();
    bool BeginRestartGet();
    bool BeginPut();
    bool BeginRestartPut();
    bool BeginAppend();
    bool BeginDir();
    bool BeginNameList();
    bool BeginMlsd();
    bool BeginRename();
    bool BeginOpenQuit();
    bool BeginFullGet();
    bool BeginFullRestartGet();
    bool BeginFullPut();
    bool BeginFullAppend();
    bool BeginFullRestartPut();
    bool BeginFullDir();
    bool BeginFullNameList();
    bool BeginFullSyst();
    bool BeginFullSize();
    bool BeginFullMkd();
    bool BeginFullRmd();
    bool BeginFullDele();
    bool BeginFullRename();
    bool BeginFullQuote();

    // The local abort: closes both connections and the local file, sends nothing.
    void Abort();
    // Ends the data transfer in flight as OnProgress's Abort does: its data
    // connection closes now, the session stays, and the request fails (426)
    // once the server has answered, whatever the answer. False when no data
    // connection is open.
    bool AbortTransfer();

    // Speed limits of the files' data (RETR; STOR and APPE), shared with
    // other engines so that one limit holds over all of them; listings are
    // never held back. Null or a zero rate: no limit. A transfer keeps the
    // buckets it started with; a rate changed meanwhile applies at once.
    // An empty bucket pauses the data connection and a timer of this
    // engine's loop resumes it; the request ends once the bucket has paid
    // for the last bytes.
    void SetRateLimits(std::shared_ptr<net::TRateLimit> download, std::shared_ptr<net::TRateLimit> upload)
    {
        m_downLimit = std::move(download);
        m_upLimit = std::move(upload);
    }

    // Passive uploads without TLS send their data right after STOR instead
    // of after the server's 150 (on by default; vsftpd and pyftpdlib take it).
    bool EarlyUploadData() const { return m_earlyUploadData; }
    void SetEarlyUploadData(bool v) { m_earlyUploadData = v; }

    // Largest receive per data-available event and the upload block size.
    // The defaults are the fast ones; tests and the bench may change them.
    static constexpr int kControlBufferSize = 4096;
    void SetTransferBlockSizes(int receive, int send);
    int ReceiveBlockSize() const { return m_recvBlockSize; }
    int SendBlockSize() const { return m_sendBlockSize; }

protected:
    using Handler = void (TCustomFtpCli::*)();

    // Called for every OnProgress; TFtpClient moves its deadline.
    virtual void ProgressNotified() {}

    void SetState(TFtpState s);
    void TraceStep(TFtpStep step);
    bool HandleError(const std::string& msg);
    bool CheckReady();
    void SetErrorMessage();
    void DisplayReply();
    void Display(const std::string& msg);
    void SendCommand(std::string cmd);
    bool ExecCommand(TFtpRequest rq, TFtpStep step, const std::string& cmd,
                     std::initializer_list<int> okCodes, Handler doneHandler);
    void FinishRequest(int error);
    bool StartSequence(TFtpRequest rq, TFtpSteps steps);
    void NextExecAsync();
    void HandleBackgroundException(const std::exception& e);
    // The local abort of a blocking wait that ran out of time.
    void AbortWithTimeout();

private:
    void WndProc(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);
    void BindControlSocket();
    void ApplySocks(net::TWSocket* s);
    bool IsReady() const;
    bool ControlIsConnected() const;
    bool CheckCommandText(const std::string& cmd);
    void InterpretReply();
    void CloseLocalStream();
    void PostRequestDone(int error);
    bool StepFailedCheck(const std::string& what);

    // Control-socket handlers.
    void ControlDnsLookupDone(std::uint16_t err);
    void ControlSessionConnected(std::uint16_t err);
    void ControlDataAvailable(std::uint16_t err);
    void ControlSessionClosed(std::uint16_t err);
    void ProcessLine(const std::string& line);
    void HandleBanner();
    void CommandReply();
    void QuitDone();
    void FinishAborted();

    // Data port and transfers.
    bool PreparePassiveAddress(std::string& addr, std::string& port);
    bool PrepareExtendedPassiveAddress(std::string& addr, std::string& port);
    void DataPortReplied();
    void FeatReplied();
    void OptsReplied();
    void CollectFeatLine(const std::string& line);
    bool ConnectPassiveData(void (TCustomFtpCli::*connected)(std::uint16_t), int failCode);
    void FailDataRequest(int code, const std::string& text);
    void DataConnectFailed(std::uint16_t err);
    void FirstReplyFailed(int code);
    void TransferReplyFailed(int code, const char* display);
    bool DownloadStep(TFtpRequest rq, const char* verb);
    bool UploadStep(bool append);
    void DataSessionAvailableDownload(std::uint16_t err);
    void DataSessionConnectedDownload(std::uint16_t err);
    void DownloadFirstReply();
    void DownloadSecondReply();
    void DataAvailableDownload(std::uint16_t err);
    bool StoreDownloadBytes(const char* p, int n);
    bool PrepareLocalFile();
    bool OpenAcceptedLocalFile();
    void LocalTransferFailed(int code, const std::string& text);
    void AbortedTransferReply();
    int ReportLocalFailure();
    void DataSessionClosedDownload(std::uint16_t err);
    void DownloadCompletionCheck();
    void DataSessionAvailableUpload(std::uint16_t err);
    void DataSessionConnectedUpload(std::uint16_t err);
    void UploadFirstReply();
    void UploadSecondReply();
    void SendNextBlock(std::uint16_t err);
    ssize_t ReadLocalBlock(); // into the send buffer, at most one grant under a limit
    void DataAvailableDiscard(std::uint16_t err);
    void DataSessionClosedUpload(std::uint16_t err);
    void UploadCompletionCheck();
    void CompleteTransferWhenClosed(bool dataClosed);
    // The speed limit: waits on the timer for what, resumes, or forgets the wait.
    enum TThrottleWait : std::uint8_t { thrNone, thrRead, thrSend, thrFinish };
    net::TRateLimit* TransferLimit() const;
    void ThrottleWait(TThrottleWait what);
    void ThrottleResume();
    void ThrottleCancel();
    bool ProgressNotify(); // true when the handler asked to abort
    void TransferSummary();
    void SendUploadCommand();
    void StartSending();

    // Explicit TLS.
    void AuthReply();
    void ControlTlsDone(std::uint16_t err);
    void ProtReply();
    void PbszReply();
    bool DataProtectionRefused(const char* what);
    void DataStreamFailed(net::TWSocket* d);
    net::TTlsParams TlsParams() const;
    void StartDataTls();
    void DataTlsDone(std::uint16_t err);
    void CertificateCheck(const net::TCertInfo& info, bool& accept, bool dataConnection);

    // Sequencer.
    void Sequencer();
    bool RunStep(TFtpStep step);

    platform::HWND m_hwnd = 0;
    std::string m_hostName, m_port = "ftp", m_localAddr = "0.0.0.0";
    unsigned m_dataPortRangeStart = 0, m_dataPortRangeEnd = 0, m_nextDataPort = 0;
    // The names the operation in flight uses (the four below), and the
    // properties as last set, taken when the engine is idle.
    std::string m_userName, m_passWord, m_account, m_localFileName, m_hostFileName,
        m_hostDirName, m_chmodMode, m_dnsResult;
    struct {
        std::string HostDirName, HostFileName, LocalFileName, ChmodMode;
    } m_set;
    void TakeOperationNames(bool force = false);
    char m_type = 'I';
    int m_shareBits = 0x10;
    TFtpConnectionType m_connectionType = ftpDirect;
    std::string m_proxyServer, m_proxyPort = "ftp";
    std::string m_socksServer, m_socksPort, m_socksLevel = "5", m_socksUsercode, m_socksPassword;
    net::TSocksAuthentication m_socksAuth = net::socksNoAuthentication;
    bool m_appendFlag = false, m_displayFileFlag = false;
    std::unique_ptr<net::TWSocket> m_controlSocket, m_dataSocket;
    std::uint32_t m_startTime = 0, m_stopTime = 0;
    TFtpState m_state = ftpStateReady;
    int m_statusCode = 0, m_requestResult = 0;
    TFtpSteps m_stepSet;
    TFtpStep m_currentStep = ftpStepNone;
    int m_sequenceResult = 0;
    bool m_sequenceActive = false;
    TFtpOptions m_options{ftpAcceptLF};
    int m_localFd = -1;
    // The download's local file is emptied or created once the server accepts.
    bool m_localPending = false;
    // A local file failure that ends the current transfer (0: none).
    int m_localFailCode = 0;
    std::string m_localFailText;
    // Bytes of the upload's first block, read before STOR (-1: none waiting).
    ssize_t m_firstBlock = -1;
    TFtpRequest m_requestType = ftpRqNone;
    bool m_requestDoneFlag = false;
    char m_receiveBuffer[kControlBufferSize + 1] = {};
    int m_rcvBufCount = 0;
    std::string m_lastResponse, m_savedResponse;
    int m_savedCode = -1;
    std::string m_pasvResponse, m_errorMessage;
    std::uint16_t m_dataCloseError = 0;
    std::string m_dnlVerb;
    bool m_controlConnected = false;
    std::unique_ptr<char[]> m_sendBuffer, m_recvBuffer;
    std::shared_ptr<net::TRateLimit> m_downLimit, m_upLimit;
    std::shared_ptr<net::TRateLimit> m_transferLimit; // the transfer in flight's
    TThrottleWait m_throttle = thrNone;
    bool m_earlyUploadData = true;
    bool m_earlyData = false; // this upload sends before the 150
    int m_sendBlockSize, m_recvBlockSize;
    std::int64_t m_byteCount = 0, m_sizeResult = 0, m_resumeAt = 0;
    std::string m_dirResult;
    Handler m_next = nullptr, m_doneAsync = nullptr;
    int m_okResponses[17] = {};
    Handler m_nextSequenceStep = nullptr;
    bool m_transferReplyFlag = false, m_dnlClosedFlag = false, m_uplClosedFlag = false,
         m_eofFlag = false, m_goAheadFlag = false, m_dataOpenFlag = false, m_shutdownSent = false,
         m_transferAborted = false;
    bool m_passive = false;
    TFtpFeatures m_supportedExtensions;
    std::string m_mlstFacts;
    double m_remoteFileDateTime = 0;
    std::string m_remoteFacts, m_lastMultiResponse, m_md5Result;
    bool m_acceptPending = false;
    bool m_useMlsd = false, m_useUtf8 = false, m_epsvFallback = false;
    // Set by a refused PASV or PORT (with EpsvFallback) for the session.
    bool m_useEpsv = false, m_useEprt = false;
    bool m_utf8InForce = false;
    std::vector<std::string> m_featLines;
    std::string m_portCommand;
    std::string m_eprtFallback;
    // The request restarts or moves a file: ResumeAt goes back to 0 when it ends.
    bool m_resumeScoped = false;
    TFtpTlsMode m_tlsMode = ftpTlsNone;
    bool m_protP = false;
    std::string m_caFile;
    std::string m_caPath;
    // The certificate the user accepted for this session's control connection.
    std::string m_acceptedFingerprint;
    // The session the next data connection resumes.
    net::TTlsSessionSlot m_tlsSessions;
};

// Adds the blocking forms: each starts the asynchronous form and pumps
// messages until the engine is ready again (or Timeout passes).
class TFtpClient : public TCustomFtpCli {
public:
    TFtpClient();

    int Timeout() const { return m_timeout; }
    void SetTimeout(int seconds) { m_timeout = seconds; }
    bool MultiThreaded() const { return m_multiThreaded; }
    void SetMultiThreaded(bool v) { m_multiThreaded = v; }
    // Replaces the message pump of the blocking wait (with MultiThreaded).
    std::function<void(TCustomFtpCli* Sender)> OnMessagePump;

    bool Connect();
    bool Cwd();
    bool Pwd();
    bool SendType();
    bool Get();
    bool Put();
    bool RestartGet();
    bool RestartPut();
    bool Dir();
    bool Mlsd();
    bool Mkd();
    bool Rmd();
    bool Dele();
    bool Rename();
    bool Size();
    bool Quote();
    bool SiteChmod();
    bool Quit();
    bool Abort();

protected:
    void ProgressNotified() override;
    bool Synchronize(bool (TCustomFtpCli::*start)());
    bool WaitUntilReady();

private:
    int m_timeout = 15;
    bool m_multiThreaded = false;
    std::uint32_t m_deadline = 0;
    bool m_waiting = false;
};

} // namespace ftp
