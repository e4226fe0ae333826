// Fuzzes the SOCKS reply parsers with what a proxy may send: the first byte
// picks the reply kind, the rest is fed growing one reception at a time as
// the socket would hold it.
#include "net/Socks.hpp"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const int kind = data[0] % 4;
    std::vector<std::uint8_t> held(data + 1, data + size);  // exact size: overreads are caught
    for (std::size_t n = 0; n <= held.size(); ++n) {
        const std::uint8_t* p = held.empty() ? nullptr : held.data();
        net::socks::Reply r;
        switch (kind) {
        case 0: r = net::socks::ParseMethodReply(p, static_cast<int>(n)); break;
        case 1: r = net::socks::ParseAuthReply(p, static_cast<int>(n)); break;
        case 2: r = net::socks::ParseSocks4Reply(p, static_cast<int>(n)); break;
        default: r = net::socks::ParseSocks5Reply(p, static_cast<int>(n)); break;
        }
        if (r.kind == net::socks::Reply::Done && (r.length <= 0 || r.length > static_cast<int>(n)))
            std::abort();  // a reply longer than what is held
        if (r.kind == net::socks::Reply::Failed && (r.code < 20000 || r.text.empty()))
            std::abort();
        if (r.kind != net::socks::Reply::Incomplete)
            break;
    }
    return 0;
}
