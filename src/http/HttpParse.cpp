#include "http/HttpParse.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

namespace http {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Days from 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

const std::int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

} // namespace

std::string LowerCase(std::string_view s)
{
    std::string r(s);
    for (char& c : r)
        c = Lower(c);
    return r;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (Lower(s[i]) != Lower(prefix[i]))
            return false;
    return true;
}

TUrlParts ParseURL(std::string_view url)
{
    TUrlParts p;
    std::string_view rest = url;
    if (auto pos = rest.find("://"); pos != std::string_view::npos) {
        p.Proto = LowerCase(rest.substr(0, pos));
        rest.remove_prefix(pos + 3);
    }
    std::size_t authEnd = rest.find_first_of("/?");
    std::string_view auth = rest.substr(0, authEnd);
    if (authEnd != std::string_view::npos) {
        p.Path = std::string(rest.substr(authEnd));
        if (p.Path[0] == '?')
            p.Path.insert(0, "/");
    }
    if (auto at = auth.rfind('@'); at != std::string_view::npos) {
        std::string_view userInfo = auth.substr(0, at);
        auth.remove_prefix(at + 1);
        if (auto colon = userInfo.find(':'); colon != std::string_view::npos) {
            p.User = std::string(userInfo.substr(0, colon));
            p.Pass = std::string(userInfo.substr(colon + 1));
        } else {
            p.User = std::string(userInfo);
        }
    }
    if (auto colon = auth.find(':'); colon != std::string_view::npos) {
        p.Host = std::string(auth.substr(0, colon));
        p.Port = std::string(auth.substr(colon + 1));
    } else {
        p.Host = std::string(auth);
    }
    return p;
}

std::string ResolveLocation(std::string_view current, std::string_view location)
{
    if (StartsWithNoCase(location, "http://") || StartsWithNoCase(location, "https://"))
        return std::string(location);
    TUrlParts cur = ParseURL(current);
    std::string base = (cur.Proto.empty() ? std::string("http") : cur.Proto) + "://";
    if (!cur.User.empty()) {
        base += cur.User;
        if (!cur.Pass.empty())
            base += ":" + cur.Pass;
        base += "@";
    }
    base += cur.Host;
    if (!cur.Port.empty())
        base += ":" + cur.Port;
    if (!location.empty() && location[0] == '/')
        return base + std::string(location);
    std::string path = cur.Path;
    if (auto q = path.find('?'); q != std::string::npos)
        path.erase(q);
    auto cut = path.find_last_of("/:");
    path = cut == std::string::npos ? std::string("/") : path.substr(0, cut + 1);
    return base + path + std::string(location);
}

std::string DocumentNameOf(std::string_view path)
{
    if (auto q = path.find('?'); q != std::string_view::npos)
        path = path.substr(0, q);
    if (path.empty() || path.back() == '/')
        return "document.htm";
    if (auto slash = path.rfind('/'); slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    return std::string(path.substr(0, 255));
}

std::string Base64Encode(std::string_view data)
{
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(data[i]) << 16) |
                     (static_cast<unsigned char>(data[i + 1]) << 8) |
                     static_cast<unsigned char>(data[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < data.size()) {
        unsigned v = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size())
            v |= static_cast<unsigned char>(data[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

double EncodeDateTime(int year, int month, int day, int hour, int minute, int second)
{
    double days = static_cast<double>(
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochOffset);
    return days + (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

std::string FormatHttpDate(double dateTime)
{
    static const char kDays[] = "MonTueWedThuFriSatSun";
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (!std::isfinite(dateTime) || std::fabs(dateTime) > 1e7)
        dateTime = 0;
    std::int64_t days = static_cast<std::int64_t>(std::floor(dateTime));
    std::int64_t ms = std::llround((dateTime - static_cast<double>(days)) * 86400000.0);
    if (ms >= 86400000) {
        ++days;
        ms -= 86400000;
    }
    std::int64_t secs = ms / 1000;
    std::int64_t y = 0;
    unsigned m = 1, d = 1;
    CivilFromDays(days + kEpochOffset, y, m, d);
    int wd = static_cast<int>(((days - 2) % 7 + 7) % 7);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d GMT", kDays + wd * 3,
                  static_cast<int>(d), kMonths + (m - 1) * 3, static_cast<int>(y),
                  static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                  static_cast<int>(secs % 60));
    return buf;
}

bool ParseStatusLine(std::string_view line, TStatusLine& out)
{
    if (line.substr(0, 8) != "HTTP/1.0" && line.substr(0, 8) != "HTTP/1.1")
        return false;
    out.Version = std::string(line.substr(5, 3));
    out.Status = -1;
    if (line.size() >= 12) {
        int v = 0;
        bool ok = true;
        for (std::size_t i = 9; i < 12; ++i) {
            if (line[i] < '0' || line[i] > '9') {
                ok = false;
                break;
            }
            v = v * 10 + (line[i] - '0');
        }
        if (ok)
            out.Status = v;
    }
    out.Text = line.size() > 13 ? std::string(line.substr(13)) : std::string();
    return true;
}

bool SplitHeaderLine(std::string_view line, std::string& name, std::string& value)
{
    auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    name = LowerCase(line.substr(0, colon));
    std::string_view v = line.substr(colon + 1);
    while (!v.empty() && (v[0] == ' ' || v[0] == '\t'))
        v.remove_prefix(1);
    value = std::string(v);
    return true;
}

std::optional<std::int64_t> ParseContentLength(std::string_view value)
{
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    if (value.empty() || value.size() > 18)
        return std::nullopt;
    std::int64_t v = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

bool ParseContentRange(std::string_view value, std::string& begin, std::string& end)
{
    // Begin starts at the 7th character ("bytes " is skipped).
    std::string_view v = value.size() > 6 ? value.substr(6) : std::string_view();
    auto dash = v.find('-');
    if (dash == std::string_view::npos)
        return false;
    begin = std::string(v.substr(0, dash));
    std::string_view after = v.substr(dash + 1);
    end = std::string(after.substr(0, after.find('/')));
    return true;
}

std::vector<std::string> BuildRequestHeaderLines(const TRequestHeaderFields& f)
{
    std::vector<std::string> lines;
    const bool hasBody = f.Method == "POST" || f.Method == "PUT";
    lines.push_back(f.Method + " " + f.Path + " HTTP/" + f.Version);
    auto add = [&](const char* name, const std::string& value) {
        if (!value.empty())
            lines.push_back(std::string(name) + value);
    };
    add("From: ", f.Sender);
    add("Accept: ", f.Accept);
    add("Referer: ", f.Reference);
    add("Connection: ", f.Connection);
    add("Proxy-Connection: ", f.ProxyConnection);
    add("Accept-Language: ", f.AcceptLanguage);
    if (hasBody)
        add("Content-Type: ", f.ContentType);
    add("User-Agent: ", f.Agent);
    if (!f.Host.empty())
        lines.push_back("Host: " + f.Host + (f.Port.empty() || f.Port == "80" ? "" : ":" + f.Port));
    if (f.NoCache)
        lines.push_back("Pragma: no-cache");
    if (hasBody && f.ContentLength >= 0)
        lines.push_back("Content-Length: " + std::to_string(f.ContentLength));
    if (f.ModifiedSince != 0)
        lines.push_back("If-Modified-Since: " + FormatHttpDate(f.ModifiedSince));
    if (!f.Authorization.empty())
        lines.push_back(f.Authorization);
    add("Cookie: ", f.Cookie);
    if (!f.RangeBegin.empty() || !f.RangeEnd.empty())
        lines.push_back("Range: bytes=" + f.RangeBegin + "-" + f.RangeEnd);
    return lines;
}

TChunkDecoder::TResult TChunkDecoder::Next(const char* data, std::size_t len, std::size_t& used,
                                           const char*& seg, std::size_t& segLen)
{
    used = 0;
    seg = nullptr;
    segLen = 0;
    while (used < len) {
        char c = data[used];
        switch (m_state) {
        case sSize: {
            int h = HexValue(c);
            if (h >= 0) {
                if (m_size > (std::numeric_limits<std::uint64_t>::max() >> 5)) {
                    m_state = sFailed;
                    m_error = "Chunk size too large";
                    return chError;
                }
                m_size = m_size * 16 + static_cast<unsigned>(h);
                ++m_digits;
                ++used;
                break;
            }
            if (m_digits == 0) {
                m_state = sFailed;
                m_error = "Invalid chunk size";
                return chError;
            }
            m_state = sExt;
            break; // the character is looked at again in sExt
        }
        case sExt:
            ++used;
            if (c == '\n') {
                if (m_size == 0) {
                    m_state = sTrailer;
                    m_lineHasText = false;
                } else {
                    m_left = m_size;
                    m_state = sData;
                }
            }
            break;
        case sData: {
            std::size_t n = len - used;
            if (n > m_left)
                n = static_cast<std::size_t>(m_left);
            seg = data + used;
            segLen = n;
            used += n;
            m_left -= n;
            if (m_left == 0)
                m_state = sDataEnd;
            return chData;
        }
        case sDataEnd:
            ++used;
            if (c == '\n') {
                m_state = sSize;
                m_size = 0;
                m_digits = 0;
            }
            break;
        case sTrailer:
            ++used;
            if (c == '\n') {
                if (!m_lineHasText) {
                    m_state = sDone;
                    return chDone;
                }
                m_lineHasText = false;
            } else if (c != '\r') {
                m_lineHasText = true;
            }
            break;
        case sDone:
            return chDone;
        case sFailed:
            return chError;
        }
    }
    if (m_state == sDone)
        return chDone;
    return m_state == sFailed ? chError : chNeedMore;
}

} // namespace http
