#include "ftp/FtpReply.hpp"

#include "ftp/FtpSrvT.hpp"

#include <climits>

namespace ftp {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Position after the leading reply code and the blanks behind it.
std::size_t AfterCode(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size() && IsDigit(s[i]))
        ++i;
    while (i < s.size() && s[i] == ' ')
        ++i;
    return i;
}

} // namespace

std::size_t FindLineEnd(std::string_view buffer, bool acceptLF)
{
    if (acceptLF) {
        std::size_t lf = buffer.find('\n');
        return lf == std::string_view::npos ? 0 : lf + 1;
    }
    std::size_t crlf = buffer.find("\r\n");
    return crlf == std::string_view::npos ? 0 : crlf + 2;
}

std::string_view TrimLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    return line;
}

bool ReadReplyCode(std::string_view line, int& code, bool& final)
{
    if (line.empty() || !IsDigit(line[0]))
        return false;
    std::size_t i = 0;
    long long n = 0;
    while (i < line.size() && IsDigit(line[i])) {
        if (n < INT_MAX)
            n = n * 10 + (line[i] - '0');
        ++i;
    }
    code = n > INT_MAX ? INT_MAX : static_cast<int>(n);
    final = i >= line.size() || line[i] != '-';
    return true;
}

bool IsFinalLine(std::string_view line)
{
    int code;
    bool final;
    return ReadReplyCode(line, code, final) && final;
}

bool ParsePasvReply(std::string_view reply, std::string& addr, std::uint16_t& port)
{
    std::size_t pos = reply.find('(');
    if (pos == std::string_view::npos) {
        // Some servers leave out the parentheses: start at the first digit after the code.
        pos = AfterCode(reply);
        while (pos < reply.size() && !IsDigit(reply[pos]))
            ++pos;
    } else {
        ++pos;
    }
    int n[6];
    for (int k = 0; k < 6; ++k) {
        while (pos < reply.size() && reply[pos] == ' ')
            ++pos;
        if (pos >= reply.size() || !IsDigit(reply[pos]))
            return false;
        int v = 0;
        while (pos < reply.size() && IsDigit(reply[pos])) {
            v = v * 10 + (reply[pos] - '0');
            if (v > 255)
                return false;
            ++pos;
        }
        n[k] = v;
        while (pos < reply.size() && reply[pos] == ' ')
            ++pos;
        if (k < 5) {
            if (pos >= reply.size() || reply[pos] != ',')
                return false;
            ++pos;
        }
    }
    addr = std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) + "." +
           std::to_string(n[3]);
    port = static_cast<std::uint16_t>(n[4] * 256 + n[5]);
    return true;
}

bool ParseEpsvReply(std::string_view reply, std::uint16_t& port)
{
    std::size_t open = reply.find('(');
    if (open == std::string_view::npos || reply.size() - open < 7)
        return false;
    std::string_view s = reply.substr(open + 1);
    const char d = s[0];
    if (d <= ' ' || d > '~' || IsDigit(d) || s[1] != d || s[2] != d)
        return false;
    std::size_t i = 3;
    unsigned v = 0;
    std::size_t digits = 0;
    while (i < s.size() && IsDigit(s[i]) && digits < 6) {
        v = v * 10 + static_cast<unsigned>(s[i] - '0');
        ++digits;
        ++i;
    }
    if (digits == 0 || digits > 5 || v == 0 || v > 65535)
        return false;
    if (i + 1 >= s.size() || s[i] != d || s[i + 1] != ')')
        return false;
    port = static_cast<std::uint16_t>(v);
    return true;
}

std::string EprtCommand(const std::string& addr, unsigned port)
{
    const char* family = addr.find(':') == std::string::npos ? "1" : "2";
    return std::string("EPRT |") + family + "|" + addr + "|" + std::to_string(port) + "|";
}

std::string ParseQuotedPath(std::string_view reply)
{
    std::size_t i = AfterCode(reply);
    std::string out;
    if (i >= reply.size() || reply[i] != '"')
        return out;
    for (++i; i < reply.size(); ++i) {
        if (reply[i] == '"') {
            if (i + 1 < reply.size() && reply[i + 1] == '"') {
                out += '"';
                ++i;
                continue;
            }
            break;
        }
        out += reply[i];
    }
    return out;
}

std::int64_t ParseSizeReply(std::string_view reply)
{
    std::size_t i = AfterCode(reply);
    std::int64_t n = 0;
    bool any = false;
    for (; i < reply.size() && IsDigit(reply[i]); ++i) {
        if (n > (INT64_MAX - 9) / 10)
            return 0;
        n = n * 10 + (reply[i] - '0');
        any = true;
    }
    return any ? n : 0;
}

double ParseMdtmReply(std::string_view reply)
{
    std::size_t i = AfterCode(reply);
    std::size_t end = reply.find(' ', i);
    return MdtmToDateTime(reply.substr(i, end == std::string_view::npos ? end : end - i));
}

void ParseMd5Reply(std::string_view reply, std::string& fileName, std::string& hash)
{
    fileName.clear();
    hash.clear();
    std::size_t i = AfterCode(reply);
    if (i < reply.size() && reply[i] == '"') {
        std::size_t close = reply.find('"', i + 1);
        if (close == std::string_view::npos) {
            fileName = reply.substr(i + 1);
            return;
        }
        fileName = reply.substr(i + 1, close - i - 1);
        i = close + 1;
    } else {
        std::size_t end = reply.find(' ', i);
        fileName = reply.substr(i, end == std::string_view::npos ? end : end - i);
        i = end == std::string_view::npos ? reply.size() : end;
    }
    while (i < reply.size() && reply[i] == ' ')
        ++i;
    std::size_t end = reply.find(' ', i);
    hash = reply.substr(i, end == std::string_view::npos ? end : end - i);
}

std::string Trim(std::string_view s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return std::string(s.substr(b, e - b));
}

void ParseFeatLine(std::string_view line, TFtpFeatures& features, std::string& mlstFacts)
{
    const std::string t = Trim(line);
    if (t.starts_with("MDTM YYYYMMDDHHMMSS[+-TZ]"))
        features.Include(ftpFeatMdtmTz);
    else if (t == "MDTM")
        features.Include(ftpFeatMdtm);
    else if (t == "SIZE")
        features.Include(ftpFeatSize);
    else if (t == "REST STREAM")
        features.Include(ftpFeatRestStream);
    else if (t.starts_with("MLST")) {
        features.Include(ftpFeatMlst);
        if (t.size() > 6)
            mlstFacts = Trim(std::string_view(t).substr(5, 99));
    } else if (t == "MFMT")
        features.Include(ftpFeatMfmt);
    else if (t == "MD5")
        features.Include(ftpFeatMd5);
}

bool ParseMlstLine(std::string_view line, std::string& facts)
{
    if (line.size() > 4 && line[0] == ' ') {
        facts = Trim(line);
        return true;
    }
    return false;
}

bool HasLineBreak(std::string_view s)
{
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

} // namespace ftp
