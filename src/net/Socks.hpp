// SOCKS 4, 4A and 5 messages as pure functions: requests built into byte
// strings, replies parsed from the bytes held so far.
#pragma once

#include <cstdint>
#include <string>

namespace net::socks {

// Result of looking at the reply bytes held so far.
struct Reply {
    enum Kind : std::uint8_t { Incomplete, Done, Failed };
    Kind kind = Incomplete;
    int code = 0;          // Failed: error number; Done (method reply): the chosen method
    std::string text;      // Failed: error text
    int length = 0;        // Done: bytes the reply occupies
    std::string boundAddr; // SOCKS 5 connect reply
    std::uint16_t boundPort = 0;
};

// Method selection reply (2 bytes: 5, method).
Reply ParseMethodReply(const std::uint8_t* p, int n);
// Username/password reply (2 bytes: 1, status). Waits for both bytes.
Reply ParseAuthReply(const std::uint8_t* p, int n);
// SOCKS 4 reply (8 bytes: 0, status, 6 unused).
Reply ParseSocks4Reply(const std::uint8_t* p, int n);
// SOCKS 5 connect reply (5, code, 0, type, address, port).
Reply ParseSocks5Reply(const std::uint8_t* p, int n);
// Code and text of a SOCKS 5 reply code other than 0.
Reply Socks5Failure(int replyCode);

// Requests. Each returns false with a reason when a field cannot be carried
// (too long for its one-byte length, or containing a zero byte where the
// protocol ends the field with one); nothing is ever cut.
bool BuildGreeting(std::uint8_t method, std::string& out);
bool BuildAuthRequest(const std::string& user, const std::string& pass, std::string& out, std::string& why);
// level "4": addr is the resolved IPv4 address (network order); "4A": the
// host text goes to the proxy.
bool BuildSocks4Request(bool level4A, std::uint16_t port, std::uint32_t addrNetOrder,
                        const std::string& userId, const std::string& host,
                        std::string& out, std::string& why);
bool BuildSocks5Request(const std::string& host, std::uint16_t port, std::string& out, std::string& why);

} // namespace net::socks
