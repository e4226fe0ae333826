// Interpretation of 227, MDTM, FEAT, 257, SIZE, MD5 and MLST replies.
#include "ftp/FtpReply.hpp"
#include "ftp/FtpSrvT.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string addr;
    std::uint16_t port = 0;
    if (ftp::ParsePasvReply(text, addr, port)) {
        // A parsed address is always four numbers of 0..255.
        int a, b, c, d;
        if (std::sscanf(addr.c_str(), "%d.%d.%d.%d", &a, &b, &c, &d) != 4 || a > 255 || b > 255 ||
            c > 255 || d > 255)
            std::abort();
    }
    double t = ftp::ParseMdtmReply(text);
    if (t != 0 && t != -1) {
        std::string back = ftp::DateTimeToMdtm(t);
        if (back.size() != 14)
            std::abort();
    }
    ftp::TFtpFeatures features;
    std::string facts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        ftp::ParseFeatLine(line, features, facts);
        std::string mlst;
        ftp::ParseMlstLine(line, mlst);
        if (facts.size() > 99)
            std::abort();
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    std::string q = ftp::ParseQuotedPath(text);
    if (q.size() > text.size())
        std::abort();
    if (ftp::ParseSizeReply(text) < 0)
        std::abort();
    std::string name, hash;
    ftp::ParseMd5Reply(text, name, hash);
    return 0;
}
