#include "app/session/SftpPacket.hpp"

#include "app/core/RemoteList.hpp"

namespace app::sftp {

Writer& Writer::Begin(TPacket type, std::uint32_t id)
{
    m_buf.assign(4, '\0');
    U8(type);
    return U32(id);
}

Writer& Writer::BeginInit(std::uint32_t version)
{
    m_buf.assign(4, '\0');
    U8(pkInit);
    return U32(version);
}

Writer& Writer::U8(std::uint8_t v)
{
    m_buf.push_back(char(v));
    return *this;
}

Writer& Writer::U32(std::uint32_t v)
{
    const char b[4] = { char(v >> 24), char(v >> 16), char(v >> 8), char(v) };
    m_buf.append(b, 4);
    return *this;
}

Writer& Writer::U64(std::uint64_t v)
{
    U32(std::uint32_t(v >> 32));
    return U32(std::uint32_t(v));
}

Writer& Writer::Str(std::string_view s)
{
    U32(std::uint32_t(s.size()));
    m_buf.append(s);
    return *this;
}

Writer& Writer::Attr(const Attrs& a)
{
    U32(a.flags & ~Attrs::kExtended);
    if (a.flags & Attrs::kSize)
        U64(a.size);
    if (a.flags & Attrs::kUidGid)
        U32(a.uid).U32(a.gid);
    if (a.flags & Attrs::kPermissions)
        U32(a.permissions);
    if (a.flags & Attrs::kTimes)
        U32(a.atime).U32(a.mtime);
    return *this;
}

char* Writer::StrSpace(std::uint32_t n)
{
    U32(n);
    const std::size_t at = m_buf.size();
    m_buf.resize(at + n);
    return m_buf.data() + at;
}

const std::string& Writer::Bytes()
{
    const std::uint32_t n = std::uint32_t(m_buf.size() - 4);
    m_buf[0] = char(n >> 24);
    m_buf[1] = char(n >> 16);
    m_buf[2] = char(n >> 8);
    m_buf[3] = char(n);
    return m_buf;
}

bool Reader::Take(std::size_t n, std::string_view& out)
{
    if (!m_ok || m_rest.size() < n) {
        m_ok = false;
        m_rest = {};
        out = {};
        return false;
    }
    out = m_rest.substr(0, n);
    m_rest.remove_prefix(n);
    return true;
}

std::uint8_t Reader::U8()
{
    std::string_view b;
    return Take(1, b) ? std::uint8_t(b[0]) : 0;
}

std::uint32_t Reader::U32()
{
    std::string_view b;
    if (!Take(4, b))
        return 0;
    return std::uint32_t(std::uint8_t(b[0])) << 24 | std::uint32_t(std::uint8_t(b[1])) << 16
        | std::uint32_t(std::uint8_t(b[2])) << 8 | std::uint32_t(std::uint8_t(b[3]));
}

std::uint64_t Reader::U64()
{
    const std::uint64_t hi = U32();
    return hi << 32 | U32();
}

std::string_view Reader::Str()
{
    const std::uint32_t n = U32();
    std::string_view s;
    Take(n, s);
    return s;
}

Attrs Reader::Attr()
{
    Attrs a;
    a.flags = U32();
    if (a.flags & Attrs::kSize)
        a.size = U64();
    if (a.flags & Attrs::kUidGid) {
        a.uid = U32();
        a.gid = U32();
    }
    if (a.flags & Attrs::kPermissions)
        a.permissions = U32();
    if (a.flags & Attrs::kTimes) {
        a.atime = U32();
        a.mtime = U32();
    }
    if (a.flags & Attrs::kExtended) {
        const std::uint32_t n = U32();
        for (std::uint32_t i = 0; i < n && m_ok; ++i) {
            Str();
            Str();
        }
    }
    if (!m_ok)
        a.flags = 0;
    return a;
}

std::optional<Header> ReadHeader(std::string_view body)
{
    Reader r(body);
    const std::uint8_t type = r.U8();
    const std::uint32_t id = r.U32();
    if (!r.Ok())
        return std::nullopt;
    return Header { TPacket(type), id };
}

std::optional<std::uint32_t> PacketLength(std::string_view bytes)
{
    if (bytes.size() < 4)
        return std::nullopt;
    return Reader(bytes.substr(0, 4)).U32();
}

std::string StatusText(std::uint32_t code, std::string_view message)
{
    if (!message.empty())
        return std::string(message);
    switch (code) {
    case stOk:
        return "Success";
    case stEof:
        return "End of file";
    case stNoSuchFile:
        return "No such file";
    case stPermissionDenied:
        return "Permission denied";
    case stBadMessage:
        return "Bad message";
    case stNoConnection:
        return "No connection";
    case stConnectionLost:
        return "Connection lost";
    case stOpUnsupported:
        return "Operation unsupported";
    default:
        return "Failure";
    }
}

std::string ModeText(std::uint32_t mode)
{
    char kind = '-';
    switch (mode & 0170000) {
    case 0040000:
        kind = 'd';
        break;
    case 0120000:
        kind = 'l';
        break;
    case 0020000:
        kind = 'c';
        break;
    case 0060000:
        kind = 'b';
        break;
    case 0010000:
        kind = 'p';
        break;
    case 0140000:
        kind = 's';
        break;
    default:
        break;
    }
    return app::PermissionsText(kind, mode);
}

std::optional<std::uint32_t> ParseOctalMode(std::string_view text)
{
    if (text.empty() || text.size() > 4)
        return std::nullopt;
    std::uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '7')
            return std::nullopt;
        v = v * 8 + std::uint32_t(c - '0');
    }
    return v;
}

} // namespace app::sftp
