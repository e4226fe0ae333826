// The asynchronous socket layer: non-blocking sockets whose readiness arrives
// through the owning thread's event loop and is turned into events.
//
// Threads: an object belongs to the thread that constructed it; every
// operation and every event runs there. Events fire from the event loop
// unless documented as firing inside a call. Waiting operations (Flush,
// WaitUntilClosed, WaitForFlag, a would-block close) re-enter the loop, so
// events of this and other sockets may run inside them.
//
// Errors: platform failures and misuse are reported through OnError when it
// is set, otherwise as ESocketException. An exception escaping an event
// handler run from the loop goes to OnBgException and then, by default, the
// socket is aborted.
#pragma once

#include "net/Tls.hpp"
#include "net/WSockBuf.hpp"
#include "platform/EventLoop.hpp"
#include "platform/Sockets.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace net {

using TSocket = std::uint32_t;
constexpr TSocket INVALID_SOCKET = 0xFFFFFFFFu;

enum TSocketState : std::uint8_t {
    wsInvalidState, wsOpened, wsBound, wsConnecting, wsSocksConnected,
    wsConnected, wsAccepting, wsListening, wsClosed
};
enum TSocketSendFlags : std::uint8_t { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff : std::uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TWSocketOption : std::uint8_t { wsoNoReceiveLoop, wsoTcpNoDelay, wsoSIO_RCVALL };
enum TSocksAuthentication : std::uint8_t { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState : std::uint8_t { socksAuthBegin, socksAuthOk, socksAuthFailed, socksAuthSkipped };
enum TSocksState : std::uint8_t {
    socksStateReady, socksStateNegotiating, socksStateAuthenticating, socksStateConnecting
};

// A set of TWSocketOption.
class TWSocketOptions {
public:
    constexpr TWSocketOptions() = default;
    constexpr TWSocketOptions(std::initializer_list<TWSocketOption> items)
    {
        for (auto o : items)
            m_bits = static_cast<std::uint8_t>(m_bits | (1u << o));
    }
    constexpr bool Contains(TWSocketOption o) const { return (m_bits >> o) & 1u; }
    constexpr TWSocketOptions& Include(TWSocketOption o) { m_bits = static_cast<std::uint8_t>(m_bits | (1u << o)); return *this; }
    constexpr TWSocketOptions& Exclude(TWSocketOption o) { m_bits = static_cast<std::uint8_t>(m_bits & ~(1u << o)); return *this; }
    constexpr bool Empty() const { return m_bits == 0; }
    constexpr bool operator==(const TWSocketOptions&) const = default;

private:
    std::uint8_t m_bits = 0;
};

class ESocketException : public std::exception {
public:
    explicit ESocketException(std::string msg) : m_msg(std::move(msg)) {}
    const char* what() const noexcept override { return m_msg.c_str(); }
    const std::string& Message() const { return m_msg; }

private:
    std::string m_msg;
};

// English text of a socket error number; "Not a WinSock error" for others.
std::string SocketErrorText(int code);
// Address text -> IPv4 address in network order. Blocks for a host name.
std::uint32_t WSocketResolveHost(const std::string& host);
// Port text -> port number (leading digits, no range check; callers use the
// low 16 bits). Service names are looked up for the protocol.
std::uint32_t WSocketResolvePort(const std::string& port, const std::string& proto);
// Protocol text -> protocol number.
int WSocketResolveProto(const std::string& proto);
// True when the text is a dotted IPv4 address by the resolver's rules.
bool WSocketIsDottedIP(const std::string& text);
// True for an IPv6 address text, with or without brackets ("::1", "[::1]");
// out gets the address (scope included) with port 0.
bool WSocketParseIPv6(const std::string& text, sockaddr_in6& out);
// Address text -> IPv6 address: a literal, or a name by its IPv6 addresses.
// Blocks for a name. False when there is none.
bool WSocketResolveHost6(const std::string& host, sockaddr_in6& out);
// Numeric text of an IPv4 or IPv6 socket address ("127.0.0.1", "::1");
// empty for another family.
std::string WSocketAddrText(const sockaddr* addr);

// The process-wide binding: bound on the first platform call, released when
// the last socket object goes, bound again by the next one.
bool WSocketIsBound();
int WSocketBindCount();      // times bound since the process started
int WSocketLivingObjects();  // socket objects alive now

// Messages of the hidden window.
constexpr platform::UINT MsgSocketEvent = platform::WM_USER + 1;
constexpr platform::UINT MsgLookupDone = platform::WM_USER + 2;
constexpr platform::UINT MsgReverseLookupDone = platform::WM_USER + 3;
constexpr platform::UINT MsgCloseLater = platform::WM_USER + 4;
constexpr platform::UINT MsgReleaseLater = platform::WM_USER + 5;
constexpr platform::UINT MsgTestException = platform::WM_USER + 6;
constexpr platform::UINT MsgConnectLookupDone = platform::WM_USER + 7;
constexpr platform::UINT MsgLineRetrigger = platform::WM_USER + 20;

class TCustomWSocket;
struct TTlsState; // internal to WSocketTls.cpp

using TDataAvailable = std::function<void(TCustomWSocket* Sender, std::uint16_t ErrCode)>;
using TDataSent = TDataAvailable;
using TSessionClosed = TDataAvailable;
using TSessionAvailable = TDataAvailable;
using TSessionConnected = TDataAvailable;
using TDnsLookupDone = TDataAvailable;
using TSendData = std::function<void(TCustomWSocket* Sender, int BytesSent)>;
using TChangeState = std::function<void(TCustomWSocket* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TCustomWSocket* Sender, const std::exception& E, bool& CanClose)>;
using TNotifyEvent = std::function<void(TCustomWSocket* Sender)>;
using TSocksAuthStateEvent = std::function<void(TCustomWSocket* Sender, TSocksAuthState AuthState)>;
using TSocksErrorEvent = std::function<void(TCustomWSocket* Sender, int Error, const std::string& Msg)>;
using TLineLimitEvent = std::function<void(TCustomWSocket* Sender, int RcvdLength, bool& ClearData)>;

class TCustomWSocket {
public:
    explicit TCustomWSocket(void* AOwner = nullptr);
    virtual ~TCustomWSocket();
    TCustomWSocket(const TCustomWSocket&) = delete;
    TCustomWSocket& operator=(const TCustomWSocket&) = delete;

    // Component identity.
    void* Owner() const { return m_owner; }
    const std::string& Name() const { return m_name; }
    void SetName(const std::string& v) { m_name = v; }

    // Addressing. Changing Addr, Port, Proto, LocalAddr, LocalPort is refused
    // unless the socket is closed (the same value is accepted silently).
    const std::string& Addr() const { return m_addrStr; }
    void SetAddr(const std::string& v);
    const std::string& Port() const { return m_portStr; }
    virtual void SetPort(const std::string& v);
    const std::string& Proto() const { return m_protoStr; }
    virtual void SetProto(const std::string& v);
    const std::string& LocalAddr() const { return m_localAddr; }
    void SetLocalAddr(const std::string& v);
    const std::string& LocalPort() const { return m_localPortStr; }
    void SetLocalPort(const std::string& v);
    // True once Addr resolved to an IPv6 address (a literal, or a name
    // with IPv6 addresses only); the socket then opens as IPv6.
    bool AddrIsIPv6() const { return m_ipv6; }
    // The family of the open socket (AF_INET or AF_INET6), 0 when closed.
    int SocketFamily();
    std::string PeerAddr() { return GetPeerAddr(); }
    std::string PeerPort() { return GetPeerPort(); }
    const std::string& DnsResult() const { return m_dnsResult; }
    const std::vector<std::string>& DnsResultList() const { return m_dnsResultList; }

    TSocketState State() const { return m_state; }
    TSocket HSocket() const { return m_hSocket; }
    platform::HWND Handle() const { return m_window; }
    int ReadCount() const { return m_readCount; }
    virtual int RcvdCount();
    int LastError() const { return m_lastError; }
    bool Terminated() const { return m_terminated; }
    // Bytes waiting in the send queue.
    std::int64_t BufferedByteCount() const;
    bool AllSent() const { return m_allSent; }

    bool MultiThreaded() const { return m_multiThreaded; }
    void SetMultiThreaded(bool v) { m_multiThreaded = v; }
    bool MultiCast() const { return m_multiCast; }
    void SetMultiCast(bool v) { m_multiCast = v; }
    const std::string& MultiCastAddrStr() const { return m_multiCastAddrStr; }
    void SetMultiCastAddrStr(const std::string& v) { m_multiCastAddrStr = v; }
    int MultiCastIpTTL() const { return m_multiCastIpTTL; }
    void SetMultiCastIpTTL(int v) { m_multiCastIpTTL = v; }
    bool ReuseAddr() const { return m_reuseAddr; }
    void SetReuseAddr(bool v) { m_reuseAddr = v; }
    TWSocketOptions ComponentOptions() const { return m_options; }
    void SetComponentOptions(TWSocketOptions v) { m_options = v; }
    int ListenBacklog() const { return m_listenBacklog; }
    void SetListenBacklog(int v) { m_listenBacklog = v; }
    std::uint8_t ReqVerLow() const;
    void SetReqVerLow(std::uint8_t v);
    std::uint8_t ReqVerHigh() const;
    void SetReqVerHigh(std::uint8_t v);
    int FlushTimeout() const { return m_flushTimeout; }
    void SetFlushTimeout(int v) { m_flushTimeout = v; }
    TSocketSendFlags SendFlags() const { return m_sendFlags; }
    void SetSendFlags(TSocketSendFlags v);
    TSocketLingerOnOff LingerOnOff() const { return m_lingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff v) { m_lingerOnOff = v; }
    int LingerTimeout() const { return m_lingerTimeout; }
    void SetLingerTimeout(int v) { m_lingerTimeout = v; }
    // Size of new send-queue blocks (1460).
    int BufSize() const { return m_bufSize; }
    void SetBufSize(int v) { m_bufSize = v > 0 ? v : 1460; }

    // Events (empty slots are skipped).
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSessionClosed OnSessionClosed;
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TChangeState OnChangeState;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

    // Operations.
    virtual void Connect();
    virtual void Listen();
    virtual TSocket Accept();
    virtual void Dup(TSocket NewHSocket);
    virtual void Close();
    virtual void CloseLater();
    virtual void ReleaseLater();
    virtual void Abort();
    virtual void Flush();
    virtual void WaitUntilClosed();
    virtual void Shutdown(int How);
    virtual int Send(const void* Data, int Len);
    virtual int SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len);
    virtual int SendText(const std::string& Str);
    virtual void QueueSendData(const void* Data, int Len);
    virtual int Receive(void* Buffer, int BufferSize);
    virtual std::string ReceiveText();
    virtual int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelLookup();
    // Pause holds every notification (read, write, close) until Resume.
    virtual void Pause();
    virtual void Resume();
    // True while the close notification is being handled (the socket then
    // drains what the peer left through OnDataAvailable).
    bool InCloseEvent() const { return m_currentEvent == platform::FD_CLOSE; }
    virtual std::string GetPeerAddr();
    virtual std::string GetPeerPort();
    virtual int GetPeerSockAddr(sockaddr_in& Addr, int& AddrLen);
    virtual std::string GetBoundPort();
    virtual std::string GetBoundAddr();
    virtual int GetLocalSockAddr(sockaddr_in& Addr, int& AddrLen);
    // Either family; AddrLen is the size of the storage on entry.
    int GetLocalSockAddr6(sockaddr_storage& Addr, int& AddrLen);
    int GetPeerSockAddr6(sockaddr_storage& Addr, int& AddrLen);
    virtual void PumpMessages();

    struct Timeval {
        long tv_sec = 0;
        long tv_usec = 0;
    };
    virtual bool TimevalIsSet(const Timeval& tv) const;
    virtual void TimevalClear(Timeval& tv) const;
    virtual bool TimevalEqual(const Timeval& a, const Timeval& b, bool equal) const;

    // Posts MsgTestException to the own window (exercises OnBgException).
    void PostTestException();

    // ---- TLS, client side (WSocketTls.cpp) ----
    // Starts TLS over the connected stream: after a "234" to AUTH TLS, or at
    // once on a fresh connection. The handshake runs from the loop's
    // notifications; no OnDataAvailable fires before it is done. Bytes sent
    // meanwhile wait in the send queue. A certificate that fails verification
    // goes to OnCertificateCheck (no handler: refused). Then OnTlsDone fires:
    // 0, or an error after which the session closes. From then on every
    // receive, send, line mode and the close work on the decrypted stream;
    // Shutdown and a graceful Close send the close_notify first.
    // Refused (false, after OnError or ESocketException) when the socket is
    // not connected, already encrypted, or holds received bytes not yet read
    // (a SOCKS reply's surplus, a line buffer): those came in clear and are
    // never delivered as part of the encrypted stream (LastError then is
    // kTlsErrPlaintext).
    bool StartTls(const TTlsParams& Params);
    bool TlsActive() const { return m_tls != nullptr; }
    bool TlsEstablished() const;
    std::string TlsVersion() const;      // "TLS 1.3"
    std::string TlsCipher() const;       // "AES-256-GCM"
    bool TlsSessionReused() const;
    // The newest session in the slot of StartTls, else empty.
    TTlsSessionRef TlsSession() const;
    // Why the last handshake failed (empty when it did not).
    const std::string& TlsError() const { return m_tlsError; }
    // Why the encrypted stream of the last StartTls did not end soundly:
    // kTlsErrTruncated when the peer closed without close_notify,
    // kTlsErrRecord when a record failed (a receive then fails with
    // WSAECONNRESET); 0 and empty while it is sound. Set before
    // OnSessionClosed fires and kept after it until the next StartTls: a
    // reader of a stream whose end is its data's end (an FTP download, an
    // https body read to the close) must check it there, since the close
    // itself carries no error.
    std::uint16_t TlsStreamErrorCode() const { return m_tlsStreamCode; }
    const std::string& TlsStreamError() const { return m_tlsStreamError; }
    TCertificateCheck OnCertificateCheck;
    TTlsDone OnTlsDone;

protected:
    virtual void HandleMessage(platform::UINT Msg, platform::WPARAM WParam, platform::LPARAM LParam);
    virtual void CreateHiddenWindow();
    virtual void DestroyHiddenWindow();
    virtual void TryToSend();
    virtual void ResetToDefaults();
    virtual void DoClose(bool Shut, int Error);
    virtual void DoAbort(int Error);
    virtual void BindLocal();
    virtual int SendBlock(const void* Data, int Len);
    virtual void ReportErrorFmt(const char* Fmt, ...);
    virtual void ReportError(const std::string& Msg);
    virtual void HandleEventException(const std::exception& E);
    virtual bool NotifyDataAvailable(std::uint16_t Error);
    virtual void NotifySessionAvailable(std::uint16_t Error);
    virtual void NotifyConnectedStep(std::uint16_t Error);
    virtual void NotifySessionConnected(std::uint16_t Error);
    virtual void NotifySessionClosed(std::uint16_t Error);
    virtual void NotifyDataSent(std::uint16_t Error);
    virtual void NotifyChangeState(TSocketState OldState, TSocketState NewState);
    virtual void NotifyDnsLookupDone(std::uint16_t Error);
    void StartNewLookup();
    virtual void NotifyError();
    virtual int RecvRaw(void* Buffer, int Len, int Flags);
    virtual int RecvFromRaw(void* Buffer, int Len, int Flags, sockaddr_in& From, int& FromLen);
    virtual void HandleConnectEvent(std::uint16_t Error);
    virtual void HandleReadEvent(std::uint16_t Error);
    virtual void HandleWriteEvent(std::uint16_t Error);
    virtual void HandleAcceptEvent(std::uint16_t Error);
    virtual void HandleCloseEvent(std::uint16_t Error);
    virtual void AdoptedConnected();
    // Received bytes held by the object itself, not by the platform.
    virtual int LocalPendingCount() { return 0; }

    // TLS hooks of the plain paths (WSocketTls.cpp). The event hooks return
    // true when the event belonged to the handshake.
    int TlsRecv(void* Buffer, int Len, int Flags);
    int TlsSend(const void* Data, int Len);
    int TlsPendingCount() const;
    bool TlsReadEvent(std::uint16_t Error);
    bool TlsWriteEvent(std::uint16_t Error);
    void TlsCloseEvent(std::uint16_t& Error);
    void TlsCloseNotify();
    void TlsCheckEnd();
    void TlsStreamFailed(std::uint16_t Code, const std::string& Why);
    // Received bytes held above the platform (not yet read by the owner).
    virtual int PlaintextHeldCount() { return LocalPendingCount(); }
    void TlsStep();
    void TlsFail(std::uint16_t Code, const std::string& Why);
    void TlsEstablishedStep();
    std::shared_ptr<TTlsState> m_tls;
    std::string m_tlsError;
    std::string m_tlsStreamError;
    std::uint16_t m_tlsStreamCode = 0;

    // Helpers shared with the subclasses.
    void ChangeState(TSocketState NewState);
    void RaiseSocketError(const std::string& FuncName);
    // Delivers OnDataAvailable while bytes remain. Sliced, it stops after
    // about one time slice; the last read re-armed the read notification,
    // so the rest follows after the loop has run other work.
    void DrainReceive(std::uint16_t Error, TWSocketOptions Options, bool Sliced = false);
    void ApplyLinger();
    void DiscardSendQueue();
    void ConnectCore();
    // Taken(n) brings the queue up to date before OnSendData runs.
    template <class Taken> int SendChunk(const std::uint8_t* p, int count, Taken&& taken);
    // Runs one loop-delivered step, sending escaped exceptions to HandleEventException.
    template <class Fn> void Guarded(Fn&& fn);
    // Resolves the destination (address, port, protocol) unless already done.
    void ResolveDestination(bool forListen);
    // Resolves Addr into m_sin, or into m_sin6 when it is IPv6 only.
    void ResolveDestinationAddr();
    // BindLocal of an IPv6 socket: LocalAddr "0.0.0.0" stands for any address.
    void BindLocal6();
    // Host names Connect needs besides Addr. They are looked up on a worker,
    // one after the other, and Connect runs again once all are known; a
    // failed look-up ends in ConnectLookupFailed from the loop.
    virtual void ConnectNames(std::vector<std::string>& names);
    virtual void ConnectLookupFailed(const std::string& name, int error);
    // False while a look-up for Connect runs (Connect then returns at once).
    bool ConnectNamesReady();
    // The address of a name looked up for Connect, or of a dotted text.
    std::uint32_t ResolveConnectName(const std::string& name);
    void CancelConnectLookup();
    bool Destroying() const { return m_destroying; }
    // Calls an event slot unless it is empty or the socket is going away.
    template <typename Slot, typename... Args>
    void Fire(const Slot& slot, Args... args)
    {
        if (slot && !m_destroying)
            slot(this, args...);
    }
    // False once the object is destroyed: a handler may delete its socket,
    // so code that goes on after calling one holds a copy and checks it.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    void SetLastError(int v) { m_lastError = v; }

    sockaddr_in m_sin{};
    // The destination when m_ipv6 (then m_sin is unused).
    sockaddr_in6 m_sin6{};
    bool m_ipv6 = false;
    TSocket m_hSocket = INVALID_SOCKET;
    TSocket m_lastAccepted = INVALID_SOCKET;
    platform::HWND m_window = 0;
    TSocketState m_state = wsClosed;
    std::string m_addrStr;
    bool m_addrAssigned = false;
    bool m_addrResolved = false;
    std::string m_portStr;
    bool m_portAssigned = false;
    bool m_portResolved = false;
    std::string m_protoStr = "tcp";
    bool m_protoAssigned = true;
    bool m_protoResolved = false;
    bool m_localPortResolved = false;
    std::string m_localAddr = "0.0.0.0";
    std::string m_localPortStr = "0";
    int m_proto = IPPROTO_TCP;
    int m_type = SOCK_STREAM;
    std::uint16_t m_portNum = 0;
    std::uint16_t m_localPortNum = 0;
    int m_sndBufSize = 0;
    std::deque<std::unique_ptr<TBuffer>> m_bufList;
    int m_bufSize = 1460;
    bool m_allSent = true;
    bool m_paused = false;
    bool m_closeNotified = false;
    int m_currentEvent = 0;
    long m_selectMask = 0;
    bool m_terminated = false;
    bool m_destroying = false;
    int m_readCount = 0;
    int m_lastError = 0;
    platform::HANDLE m_dnsLookupHandle = 0;
    bool m_earlyLookupStored = false;
    platform::MSG m_earlyLookupMsg{};
    std::string m_dnsResult;
    std::vector<std::string> m_dnsResultList;

private:
    void SetEndpointPart(const std::string& v, std::string& str, bool& assigned, bool& resolved,
                         const char* whatError);
    void LookupDone(platform::UINT Msg, platform::WPARAM WParam, platform::LPARAM LParam);
    void ConnectLookupDone(platform::WPARAM WParam, platform::LPARAM LParam);

    platform::HANDLE m_connectLookup = 0;
    std::string m_connectLookupName;
    std::vector<std::pair<std::string, std::uint32_t>> m_connectAddrs;
    void SocketEvent(platform::WPARAM WParam, platform::LPARAM LParam);

    void* m_owner = nullptr;
    std::string m_name;
    bool m_multiThreaded = false;
    bool m_multiCast = false;
    std::string m_multiCastAddrStr;
    int m_multiCastIpTTL = 1;
    bool m_reuseAddr = false;
    TWSocketOptions m_options;
    int m_listenBacklog = 5;
    int m_flushTimeout = 60;
    TSocketSendFlags m_sendFlags = wsSendNormal;
    TSocketLingerOnOff m_lingerOnOff = wsLingerOn;
    int m_lingerTimeout = 0;
};

class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(void* AOwner = nullptr);

    const std::string& SocksServer() const { return m_socksServer; }
    virtual void SetSocksServer(const std::string& v);
    const std::string& SocksPort() const { return m_socksPort; }
    virtual void SetSocksPort(const std::string& v);
    const std::string& SocksLevel() const { return m_socksLevel; }
    void SetSocksLevel(const std::string& v);
    const std::string& SocksUsercode() const { return m_socksUsercode; }
    void SetSocksUsercode(const std::string& v) { m_socksUsercode = v; }
    const std::string& SocksPassword() const { return m_socksPassword; }
    void SetSocksPassword(const std::string& v) { m_socksPassword = v; }
    TSocksAuthentication SocksAuthentication() const { return m_socksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication v) { m_socksAuthentication = v; }
    const std::string& ProxyBoundAddr() const { return m_boundAddr; }
    const std::string& ProxyBoundPort() const { return m_boundPort; }
    TSocksState SocksState() const { return m_socksState; }

    TSessionConnected OnSocksConnected;
    TSocksAuthStateEvent OnSocksAuthState;
    TSocksErrorEvent OnSocksError;

    void Connect() override;
    void Listen() override;
    int RcvdCount() override;

    // Longest texts the one-byte length fields of the requests can carry.
    static constexpr std::size_t kMaxSocksField = 255;

protected:
    virtual void NotifySocksConnected(std::uint16_t Error);
    virtual void NotifySocksError(int Error, const std::string& Msg);
    void ResetToDefaults() override;
    bool NotifyDataAvailable(std::uint16_t Error) override;
    void NotifyConnectedStep(std::uint16_t Error) override;
    void NotifySessionClosed(std::uint16_t Error) override;
    void NotifyDataSent(std::uint16_t Error) override;
    int RecvRaw(void* Buffer, int Len, int Flags) override;
    int LocalPendingCount() override { return m_surplusCnt; }

    // The negotiation's reply side, usable without a socket (fuzzing).
    bool SocksNegotiating() const { return m_socksState != socksStateReady; }

private:
    void SocksSendRequest();
    void SocksSendAuth();
    void SocksSendGreeting();
    void SocksSend(const std::string& req);
    void ConnectNames(std::vector<std::string>& names) override;
    void ConnectLookupFailed(const std::string& name, int error) override;
    void SocksFail(int Code, const std::string& Msg);
    void SocksConnected();
    int SocksReceive(int maxTotal);
    bool SocksRefuseLongFields();

    std::string m_socksServer;
    std::string m_socksPort;
    std::string m_socksLevel = "5";
    std::string m_socksUsercode;
    std::string m_socksPassword;
    TSocksAuthentication m_socksAuthentication = socksNoAuthentication;
    bool m_socksServerAssigned = false;
    TSocksState m_socksState = socksStateReady;
    std::uint8_t m_socksMethod = 0;
    std::string m_boundAddr;
    std::string m_boundPort;
    // Large enough for the longest reply (a 255-byte bound name).
    std::uint8_t m_rcvBuf[512] = {};
    int m_rcvCnt = 0;
    int m_surplusCnt = 0;
    int m_surplusPos = 0;
    std::uint16_t m_destPort = 0;

    friend class SocksReplyHarness;
};

class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(void* AOwner = nullptr);
    ~TCustomLineWSocket() override;

    bool LineMode() const { return m_lineMode; }
    virtual void SetLineMode(bool v);
    const std::string& LineEnd() const { return m_lineEnd; }
    void SetLineEnd(const std::string& v) { m_lineEnd = v; }
    int LineLimit() const { return m_lineLimit; }
    void SetLineLimit(int v) { m_lineLimit = v; }
    bool LineEcho() const { return m_lineEcho; }
    void SetLineEcho(bool v) { m_lineEcho = v; }
    bool LineEdit() const { return m_lineEdit; }
    void SetLineEdit(bool v) { m_lineEdit = v; }
    // Bytes held in the line buffer (not yet delivered).
    int LineBufferedCount() const { return m_rcvdCnt; }
    bool LineReceivedFlag() const { return m_lineReceivedFlag; }

    TLineLimitEvent OnLineLimitExceeded;

    int RcvdCount() override;
    virtual int SendLine(const std::string& Str);

protected:
    virtual void NotifyLineLimitExceeded(int Cnt, bool& ClearData);
    virtual void EditReceivedData(int& Len);
    void HandleMessage(platform::UINT Msg, platform::WPARAM WParam, platform::LPARAM LParam) override;
    int RecvRaw(void* Buffer, int Len, int Flags) override;
    bool NotifyDataAvailable(std::uint16_t Error) override;
    void NotifySessionClosed(std::uint16_t Error) override;
    int PlaintextHeldCount() override;

    // Feeds bytes into the line machinery as if received (fuzzing, tests).
    void LineFeedForTests(const void* data, int len);

private:
    void LineRetrigger();
    bool LineProcess(int newBytes);
    int RecvFromPeer(void* Buffer, int Len, int Flags);
    void GrowBuffer(std::size_t size);

    std::vector<std::uint8_t> m_rcvdPtr;  // size() is the allocated size
    int m_rcvdCnt = 0;
    std::string m_lineEnd = "\r\n";
    bool m_lineMode = false;
    int m_lineLength = 0;
    int m_lineLimit = 65536;
    bool m_lineReceivedFlag = false;
    bool m_lineFound = false;
    bool m_lineClearData = false;
    bool m_lineEcho = false;
    bool m_lineEdit = false;
    int m_scanStart = 0;
    // While a line is delivered: where it ends in the buffer (its bytes are
    // the handler's, read or not; what follows is still held).
    int m_deliveringEnd = 0;
    // Injected bytes served by RecvRaw while feeding for tests.
    const std::uint8_t* m_feedData = nullptr;
    int m_feedLen = 0;

protected:
    int m_waitTimeout = 0;
    std::uint32_t m_waitEnd = 0;
};

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(void* AOwner = nullptr);

    int WaitTimeout() const { return m_waitTimeout; }
    void SetWaitTimeout(int ms) { m_waitTimeout = ms; }

    // 0 when the flag became true, 12001 when the wait was given up.
    virtual int WaitForFlag(bool& Flag);
    virtual int RunAndWait(bool& Flag, const std::function<void()>& Step);
};

// The socket every other part of the program uses.
class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(void* AOwner = nullptr) : TCustomSyncWSocket(AOwner) {}
};

} // namespace net
