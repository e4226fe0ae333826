#include "net/Socks.hpp"

#include <cstdio>

namespace net::socks {
namespace {

Reply fail(int code, std::string text)
{
    Reply r;
    r.kind = Reply::Failed;
    r.code = code;
    r.text = std::move(text);
    return r;
}

constexpr std::size_t kMaxField = 255;

} // namespace

Reply Socks5Failure(int replyCode)
{
    switch (replyCode) {
    case 1: return fail(20004, "general SOCKS server failure");
    case 2: return fail(20005, "connection not allowed by ruleset");
    case 3: return fail(20006, "network unreachable");
    case 4: return fail(20007, "host unreachable");
    case 5: return fail(20008, "connection refused");
    case 6: return fail(20009, "time to live expired");
    case 7: return fail(20010, "command not supported");
    case 8: return fail(20011, "address type not supported");
    default: return fail(20012, "unassigned error #" + std::to_string(replyCode));
    }
}

Reply ParseMethodReply(const std::uint8_t* p, int n)
{
    Reply r;
    if (n < 2)
        return r;
    if (p[0] != 5)
        return fail(20002, "socks version error");
    if (p[1] != 0 && p[1] != 2)
        return fail(20003, "authentification method not acceptable");
    r.kind = Reply::Done;
    r.code = p[1];
    r.length = 2;
    return r;
}

Reply ParseAuthReply(const std::uint8_t* p, int n)
{
    Reply r;
    if (n >= 1 && p[0] != 1)
        return fail(20002, "socks version error");
    if (n > 2)
        return fail(20001, "too much data availaible");
    if (n < 2)
        return r;
    if (p[1] != 0)
        return fail(20015, "socks authentication failed");
    r.kind = Reply::Done;
    r.length = 2;
    return r;
}

Reply ParseSocks4Reply(const std::uint8_t* p, int n)
{
    Reply r;
    if (n < 8)
        return r;
    if (p[0] != 0)
        return fail(20002, "socks version error");
    switch (p[1]) {
    case 90:
        r.kind = Reply::Done;
        r.length = 8;
        return r;
    case 91: return fail(20016, "request rejected or failed");
    case 92: return fail(20008, "connection refused");
    case 93: return fail(20015, "authentification failed");
    default: return fail(20012, "unassigned error #" + std::to_string(p[1]));
    }
}

Reply ParseSocks5Reply(const std::uint8_t* p, int n)
{
    Reply r;
    if (n >= 1 && p[0] != 5)
        return fail(20002, "socks version error");
    if (n >= 2 && p[1] != 0)
        return Socks5Failure(p[1]);
    if (n <= 4)
        return r;
    int full;
    switch (p[3]) {
    case 1: full = 10; break;
    case 3: full = 7 + p[4]; break;
    default: full = 5; break;
    }
    if (n < full)
        return r;
    int portAt;
    if (p[3] == 1) {
        char text[16];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", p[4], p[5], p[6], p[7]);
        r.boundAddr = text;
        portAt = 8;
    } else if (p[3] == 3) {
        r.boundAddr.assign(reinterpret_cast<const char*>(p + 5), p[4]);
        portAt = 5 + p[4];
    } else {
        return fail(20011, "address type not supported");
    }
    r.kind = Reply::Done;
    r.boundPort = static_cast<std::uint16_t>((p[portAt] << 8) | p[portAt + 1]);
    r.length = portAt + 2;
    return r;
}

bool BuildGreeting(std::uint8_t method, std::string& out)
{
    out.assign({'\x05', '\x01', static_cast<char>(method)});
    return true;
}

bool BuildAuthRequest(const std::string& user, const std::string& pass, std::string& out, std::string& why)
{
    if (user.size() > kMaxField || pass.size() > kMaxField) {
        why = "Socks user code and password are limited to 255 bytes each";
        return false;
    }
    out.clear();
    out.push_back('\x01');
    out.push_back(static_cast<char>(user.size()));
    out += user;
    out.push_back(static_cast<char>(pass.size()));
    out += pass;
    return true;
}

bool BuildSocks4Request(bool level4A, std::uint16_t port, std::uint32_t addrNetOrder,
                        const std::string& userId, const std::string& host,
                        std::string& out, std::string& why)
{
    if (userId.size() > kMaxField || userId.find('\0') != std::string::npos) {
        why = "Socks user code must be at most 255 bytes without zero bytes";
        return false;
    }
    if (level4A && (host.size() > kMaxField || host.find('\0') != std::string::npos)) {
        why = "Socks destination name must be at most 255 bytes without zero bytes";
        return false;
    }
    out.clear();
    out.push_back('\x04');
    out.push_back('\x01');
    out.push_back(static_cast<char>(port >> 8));
    out.push_back(static_cast<char>(port & 0xFF));
    if (level4A) {
        out.append({'\0', '\0', '\0', '\x01'});
    } else {
        const auto* a = reinterpret_cast<const std::uint8_t*>(&addrNetOrder);
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<char>(a[i]));
    }
    out += userId;
    out.push_back('\0');
    if (level4A) {
        out += host;
        out.push_back('\0');
    }
    return true;
}

bool BuildSocks5Request(const std::string& host, std::uint16_t port, std::string& out, std::string& why)
{
    if (host.empty() || host.size() > kMaxField) {
        why = "Socks destination name must be 1 to 255 bytes";
        return false;
    }
    out.clear();
    out.append({'\x05', '\x01', '\0', '\x03'});
    out.push_back(static_cast<char>(host.size()));
    out += host;
    out.push_back(static_cast<char>(port >> 8));
    out.push_back(static_cast<char>(port & 0xFF));
    return true;
}

} // namespace net::socks
