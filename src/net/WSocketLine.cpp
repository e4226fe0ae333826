// Line mode (delivery one line at a time, echo, editing) and the
// synchronous wait of the socket class chain.
#include "net/WSocket.hpp"

#include "platform/EventLoop.hpp"

#include <algorithm>
#include <cstring>

namespace net {
namespace {
const char kBackspaceEcho[3] = {8, 32, 8};
} // namespace

TCustomLineWSocket::TCustomLineWSocket(void* AOwner) : TCustomSocksWSocket(AOwner) {}

TCustomLineWSocket::~TCustomLineWSocket() = default;

void TCustomLineWSocket::SetLineMode(bool v)
{
    if (v == m_lineMode)
        return;
    m_lineMode = v;
    if (m_rcvdCnt > 0 || m_lineLength > 0)
        platform::PostMessage(m_window, MsgLineRetrigger, 0, 0);
}

int TCustomLineWSocket::RcvdCount()
{
    if (m_lineMode)
        return m_lineLength;
    // Bytes left over from line mode are read first, so they count too.
    int platformCount = TCustomSocksWSocket::RcvdCount();
    if (m_rcvdCnt > 0)
        return m_rcvdCnt + std::max(platformCount, 0);
    return platformCount;
}

int TCustomLineWSocket::SendLine(const std::string& Str)
{
    if (Str.empty())
        return 0;
    QueueSendData(Str.data(), static_cast<int>(Str.size()));
    // Send even with an empty marker, so the queued text goes out.
    int r = Send(m_lineEnd.data(), static_cast<int>(m_lineEnd.size()));
    if (r < 0)
        return r;
    return static_cast<int>(Str.size()) + 2;
}

void TCustomLineWSocket::NotifyLineLimitExceeded(int Cnt, bool& ClearData)
{
    if (OnLineLimitExceeded && !Destroying())
        OnLineLimitExceeded(this, Cnt, ClearData);
}

void TCustomLineWSocket::GrowBuffer(std::size_t size)
{
    if (m_rcvdPtr.size() < size)
        m_rcvdPtr.resize(size);
}

int TCustomLineWSocket::RecvRaw(void* Buffer, int Len, int Flags)
{
    auto* out = static_cast<std::uint8_t*>(Buffer);
    if (m_lineMode && m_lineLength > 0) {
        if (Len <= 0)
            return 0;
        if (Len >= m_lineLength) {
            int n = m_lineLength;
            std::memcpy(out, m_rcvdPtr.data(), static_cast<std::size_t>(n));
            if (!(Flags & MSG_PEEK))
                m_lineLength = 0;
            return n;
        }
        std::memcpy(out, m_rcvdPtr.data(), static_cast<std::size_t>(Len));
        if (!(Flags & MSG_PEEK)) {
            std::memmove(m_rcvdPtr.data(), m_rcvdPtr.data() + Len, static_cast<std::size_t>(m_lineLength - Len));
            m_lineLength -= Len;
        }
        return Len;
    }
    if (!m_lineMode && m_rcvdCnt > 0) {
        if (Len <= 0)
            return 0;
        int n = std::min(Len, m_rcvdCnt);
        std::memcpy(out, m_rcvdPtr.data(), static_cast<std::size_t>(n));
        if (!(Flags & MSG_PEEK)) {
            std::memmove(m_rcvdPtr.data(), m_rcvdPtr.data() + n, static_cast<std::size_t>(m_rcvdCnt - n + 1));
            m_rcvdCnt -= n;
            m_lineLength = std::max(0, m_lineLength - n);  // a kept line flows out raw too
        }
        return n;
    }
    return RecvFromPeer(Buffer, Len, Flags);
}

// Below the line buffer: injected test bytes, else the SOCKS layer and the network.
int TCustomLineWSocket::RecvFromPeer(void* Buffer, int Len, int Flags)
{
    auto* out = static_cast<std::uint8_t*>(Buffer);
    if (m_feedData) {
        int n = std::min(Len, m_feedLen);
        if (n <= 0) {
            platform::WSASetLastError(10035);
            return -1;
        }
        std::memcpy(out, m_feedData, static_cast<std::size_t>(n));
        m_feedData += n;
        m_feedLen -= n;
        return n;
    }
    return TCustomSocksWSocket::RecvRaw(Buffer, Len, Flags);
}

void TCustomLineWSocket::EditReceivedData(int& Len)
{
    const int oldCount = m_rcvdCnt;
    std::uint8_t* buf = m_rcvdPtr.data();
    std::vector<std::uint8_t> work;
    bool useWork = false;
    int j = oldCount;
    int lowest = oldCount;
    std::string echo;
    for (int i = 0; i < Len; ++i) {
        std::uint8_t c = buf[oldCount + i];
        if (c == 8 || c == 9) {
            if (!useWork) {
                // Editing may write ahead of what is read: switch to a copy.
                std::size_t size = static_cast<std::size_t>((oldCount + Len + 256) / 256 * 256);
                work.resize(std::max<std::size_t>(size, static_cast<std::size_t>(j) + 256));
                std::memcpy(work.data(), buf, static_cast<std::size_t>(j));
                useWork = true;
            }
        }
        if (c == 8) {
            if (m_lineEcho && j > 0)
                echo.append(kBackspaceEcho, 3);
            if (j > 0) {
                --j;
                lowest = std::min(lowest, j);
            }
            continue;
        }
        if (c == 9) {
            int next = (j / 8 + 1) * 8;
            while (j < next) {
                if (static_cast<std::size_t>(j) >= work.size())
                    work.resize(work.size() + 256);
                work[static_cast<std::size_t>(j++)] = ' ';
                if (m_lineEcho)
                    echo.push_back(' ');
            }
            continue;
        }
        if (m_lineEcho)
            echo.push_back(static_cast<char>(c));
        if (useWork) {
            if (static_cast<std::size_t>(j) >= work.size())
                work.resize(work.size() + 256);
            work[static_cast<std::size_t>(j)] = c;
        } else {
            buf[j] = c;
        }
        ++j;
    }
    if (useWork) {
        GrowBuffer(static_cast<std::size_t>(j) + 1);
        std::memcpy(m_rcvdPtr.data(), work.data(), static_cast<std::size_t>(j));
    }
    m_rcvdPtr[static_cast<std::size_t>(j)] = 0;
    // The count ends at j once the caller adds Len; rescan from the first change.
    Len = j - oldCount;
    m_scanStart = std::min(m_scanStart, lowest);
    if (!echo.empty())
        Send(echo.data(), static_cast<int>(echo.size()));
}

void TCustomLineWSocket::LineFeedForTests(const void* data, int len)
{
    m_feedData = static_cast<const std::uint8_t*>(data);
    m_feedLen = len;
    NotifyDataAvailable(0);
    m_feedData = nullptr;
    m_feedLen = 0;
}

bool TCustomLineWSocket::NotifyDataAvailable(std::uint16_t Error)
{
    if (!m_lineMode || m_lineEnd.empty() || SocksNegotiating())
        return TCustomSocksWSocket::NotifyDataAvailable(Error);
    int cnt = m_feedData ? m_feedLen : TCustomSocksWSocket::RcvdCount();
    if (cnt < 0)
        return true;
    if (cnt == 0)
        cnt = 255;
    GrowBuffer(static_cast<std::size_t>(m_rcvdCnt) + static_cast<std::size_t>(cnt) + 1);
    // From the network: Receive would serve a kept line again.
    int len = RecvFromPeer(m_rcvdPtr.data() + m_rcvdCnt, cnt, 0);
    if (len > 0)
        m_readCount += len;
    else if (len < 0)
        SetLastError(platform::WSAGetLastError());
    if (len <= 0) {
        if (m_rcvdCnt == 0)
            return true;
        len = 0;
    }
    LineProcess(len);
    return true;
}

// Bytes received and not yet read: during a line's delivery, the part of
// that line still unread and everything after it.
int TCustomLineWSocket::PlaintextHeldCount()
{
    const int held = m_deliveringEnd > 0 ? m_lineLength + (m_rcvdCnt - m_deliveringEnd) : m_rcvdCnt;
    return std::max(held, 0) + TCustomSocksWSocket::PlaintextHeldCount();
}

bool TCustomLineWSocket::LineProcess(int newBytes)
{
    const int ml = static_cast<int>(m_lineEnd.size());
    // A marker split across two receptions is found by starting a marker's
    // length early; with no new bytes (a re-trigger) everything is scanned.
    m_scanStart = newBytes > 0 ? std::max(0, m_rcvdCnt - ml) : 0;
    if (newBytes > 0) {
        auto alive = m_alive;
        if (m_lineEdit) {
            EditReceivedData(newBytes);  // may lower m_scanStart to its first change
            if (!*alive)
                return false;
            m_scanStart = std::max(0, m_scanStart - ml);
        } else if (m_lineEcho) {
            Send(m_rcvdPtr.data() + m_rcvdCnt, newBytes);
            if (!*alive)
                return false;
        }
        if (m_rcvdPtr.empty())
            return false;  // the echo closed the session
    }
    m_rcvdCnt += newBytes;
    if (m_rcvdCnt < 0)
        m_rcvdCnt = 0;
    m_rcvdPtr[static_cast<std::size_t>(m_rcvdCnt)] = 0;

    bool foundAny = false;
    bool lastNotFound = false;
    int start = m_scanStart;
    // A line a handler left unread is at the front, whole: it goes first.
    int keptEnd = m_lineMode ? m_lineLength : 0;
    while (m_lineMode) {
        int end = keptEnd;
        keptEnd = 0;
        if (end == 0) {
            const std::uint8_t* buf = m_rcvdPtr.data();
            int found = -1;
            const auto first = static_cast<std::uint8_t>(m_lineEnd[0]);
            for (int i = start; i + ml <= m_rcvdCnt;) {
                const void* hit = std::memchr(buf + i, first, static_cast<std::size_t>(m_rcvdCnt - ml - i + 1));
                if (!hit)
                    break;
                i = static_cast<int>(static_cast<const std::uint8_t*>(hit) - buf);
                if (std::memcmp(buf + i, m_lineEnd.data(), static_cast<std::size_t>(ml)) == 0) {
                    found = i;
                    break;
                }
                ++i;
            }
            if (found < 0) {
                lastNotFound = true;
                break;
            }
            end = found + ml;
            m_lineLength = end;
            m_lineFound = true;
        }
        foundAny = true;
        m_lineReceivedFlag = true;
        while (m_lineMode && m_lineLength > 0) {
            int before = m_lineLength;
            auto alive = m_alive;
            m_deliveringEnd = end;
            bool handled = TCustomSocksWSocket::NotifyDataAvailable(0);
            if (!*alive)
                return foundAny;  // the handler destroyed the socket
            m_deliveringEnd = 0;
            if (!handled)
                m_lineLength = 0;  // nobody listens: the line is dropped
            if (m_rcvdPtr.empty())
                return foundAny;  // the handler closed the session
            if (m_lineLength == before)
                break;  // the handler read nothing: keep the line for later
        }
        // Reads take the line's bytes from the front; what followed the
        // marker is still at end. Close the gap: a kept line or the part
        // left unread when line mode went off stays in front of it.
        int after = m_rcvdCnt - end;
        std::uint8_t* b = m_rcvdPtr.data();
        std::memmove(b + m_lineLength, b + end, static_cast<std::size_t>(after));
        m_rcvdCnt = m_lineLength + after;
        b[m_rcvdCnt] = 0;
        if (m_lineMode && m_lineLength > 0)
            return foundAny;
        m_lineLength = 0;
        while (!m_lineMode && m_rcvdCnt > 0) {
            int before = m_rcvdCnt;
            auto alive = m_alive;
            bool handled = TCustomSocksWSocket::NotifyDataAvailable(0);
            if (!*alive)
                return foundAny;
            if (!handled)
                break;
            if (m_rcvdPtr.empty())
                return foundAny;
            if (m_rcvdCnt == before)
                break;
        }
        start = 0;
    }
    if (lastNotFound && m_lineLimit > 0 && m_rcvdCnt > m_lineLimit) {
        m_lineClearData = true;
        auto alive = m_alive;
        NotifyLineLimitExceeded(m_rcvdCnt, m_lineClearData);
        if (!*alive)
            return foundAny;
        if (m_lineClearData) {
            m_rcvdCnt = 0;
            m_lineLength = 0;
            m_lineClearData = false;
            if (!m_rcvdPtr.empty())
                m_rcvdPtr[0] = 0;
        }
    }
    return foundAny;
}

void TCustomLineWSocket::LineRetrigger()
{
    int pass = 0;
    auto alive = m_alive;
    while (m_rcvdCnt > 0) {
        int before = m_rcvdCnt;
        m_lineFound = false;
        NotifyDataAvailable(0);
        if (!*alive)
            return;
        if (m_rcvdCnt == 0)
            break;
        ++pass;
        if (pass >= 3 && m_lineMode && !m_lineFound)
            break;
        if (m_rcvdCnt == before && !m_lineFound)
            break;  // nobody takes the bytes: wait for the next reception
    }
}

void TCustomLineWSocket::HandleMessage(platform::UINT Msg, platform::WPARAM WParam, platform::LPARAM LParam)
{
    if (Msg == MsgLineRetrigger) {
        try {
            LineRetrigger();
        } catch (const std::exception& e) {
            HandleEventException(e);
        } catch (...) {
            HandleEventException(ESocketException("Unknown exception in an event handler"));
        }
        return;
    }
    TCustomSocksWSocket::HandleMessage(Msg, WParam, LParam);
}

void TCustomLineWSocket::NotifySessionClosed(std::uint16_t Error)
{
    m_lineReceivedFlag = true;
    if (m_lineMode && m_lineLength > 0 && !m_rcvdPtr.empty()) {
        // A kept line and the whole lines behind it come before the final one.
        auto alive = m_alive;
        LineProcess(0);
        if (!*alive)
            return;
    }
    if (!m_rcvdPtr.empty()) {
        if (m_lineMode && m_rcvdCnt > 0 && !m_lineClearData) {
            // What is left without a marker is the final line.
            m_lineLength = m_rcvdCnt;
            auto alive = m_alive;
            while (m_lineLength > 0) {
                int before = m_lineLength;
                bool handled = TCustomSocksWSocket::NotifyDataAvailable(0);
                if (!*alive)
                    return;
                if (!handled) {
                    m_lineLength = 0;
                    break;
                }
                if (m_lineLength == before)
                    break;
            }
        }
        m_rcvdPtr.clear();
        m_rcvdPtr.shrink_to_fit();
        m_rcvdCnt = 0;
        m_lineLength = 0;
    }
    TCustomSocksWSocket::NotifySessionClosed(Error);
}

// ---------------------------------------------------------------------------

TCustomSyncWSocket::TCustomSyncWSocket(void* AOwner) : TCustomLineWSocket(AOwner) {}

int TCustomSyncWSocket::WaitForFlag(bool& Flag)
{
    const std::uint32_t end = platform::GetTickCount() + static_cast<std::uint32_t>(m_waitTimeout);
    m_waitEnd = end;
    while (!Flag) {
        int waitMs = 50;
        if (m_waitTimeout > 0) {
            auto left = static_cast<std::int32_t>(end - platform::GetTickCount());
            if (left < 0)
                return 12001;
            waitMs = std::min(waitMs, static_cast<int>(left));
        }
        if (platform::ApplicationPump().Terminated() || m_terminated)
            return 12001;
        PumpMessages();
        if (Flag)
            break;
        // Sleep until something arrives instead of spinning.
        if (MultiThreaded())
            platform::WaitMessage(waitMs);
        else
            platform::ApplicationPump().WaitMessage(waitMs);
    }
    return 0;
}

int TCustomSyncWSocket::RunAndWait(bool& Flag, const std::function<void()>& Step)
{
    Flag = false;
    if (Step)
        Step();
    return WaitForFlag(Flag);
}

} // namespace net
