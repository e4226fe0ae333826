// Pure pieces of the HTTP client: URL splitting, the request header lines,
// reply status and header lines, chunked decoding. No sockets, no state
// beyond what the caller passes, so they can be table-tested and fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace http {

// [protocol "://"][user[":" password] "@"]host[":" port][path]["?" query]
struct TUrlParts {
    std::string Proto; // lower-cased; empty when the URL has none
    std::string User;
    std::string Pass;
    std::string Host;
    std::string Port;  // empty when the URL has none
    std::string Path;  // path with query; empty when the URL has none
};

TUrlParts ParseURL(std::string_view url);

// Resolves a "Location" value against the URL being fetched. Absolute http(s)
// addresses replace everything, "/..." keeps protocol, host and port, anything
// else is appended to the current path up to its last "/" or ":".
std::string ResolveLocation(std::string_view current, std::string_view location);

// File-name-like last segment of a path (query dropped), "document.htm" for
// an empty path or one ending in "/"; at most 255 characters.
std::string DocumentNameOf(std::string_view path);

std::string Base64Encode(std::string_view data);

// Date-time as days since 30 December 1899 with the time as the fraction.
double EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
// "Tue, 08 Dec 2026 07:46:46 GMT" from the stored value, no zone conversion.
std::string FormatHttpDate(double dateTime);

// "HTTP/1.x nnn text": false when the line is not a status line of that form.
// Version is "1.0" or "1.1"; a status that is not three digits gives -1.
struct TStatusLine {
    std::string Version;
    int Status = 0;
    std::string Text;
};
bool ParseStatusLine(std::string_view line, TStatusLine& out);

// "Name: value": false without a colon. Name lower-cased, leading blanks of
// the value skipped.
bool SplitHeaderLine(std::string_view line, std::string& name, std::string& value);

// Strict non-negative decimal (surrounding blanks allowed); empty on
// anything else, including values that do not fit 63 bits.
std::optional<std::int64_t> ParseContentLength(std::string_view value);

// "bytes 1000-1999/5000" -> begin "1000", end "1999". False when there is no "-".
bool ParseContentRange(std::string_view value, std::string& begin, std::string& end);

std::string LowerCase(std::string_view s);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);

// Everything the request header is built from; empty texts are not sent.
struct TRequestHeaderFields {
    std::string Method;
    std::string Path;
    std::string Version;        // "1.0" or "1.1"
    std::string Sender;         // From
    std::string Accept;
    std::string Reference;      // Referer
    std::string Connection;
    std::string ProxyConnection;
    std::string AcceptLanguage;
    std::string ContentType;    // only used for POST and PUT
    std::string Agent;          // User-Agent
    std::string Host;
    std::string Port;           // written into Host unless "80"
    bool NoCache = false;
    std::int64_t ContentLength = -1; // POST and PUT
    double ModifiedSince = 0;
    std::string Authorization;  // complete line or empty
    std::string Cookie;
    std::string RangeBegin;
    std::string RangeEnd;
};

// The header lines in wire order, without line ends and without the empty
// line that ends the header.
std::vector<std::string> BuildRequestHeaderLines(const TRequestHeaderFields& f);

// Decoder of a "chunked" body: size line in hex, anything up to LF, data,
// anything up to LF; size 0 ends the data, then trailer lines up to an empty
// one are consumed so a kept-alive connection starts clean.
class TChunkDecoder {
public:
    enum TResult : std::uint8_t { chNeedMore, chData, chDone, chError };

    // Consumes from data[0..len). Returns chData with seg/segLen set to body
    // bytes inside the input, chNeedMore when all input was used, chDone at
    // the end of the body, chError on a malformed or oversized chunk size.
    // used is the number of input bytes consumed by this call.
    TResult Next(const char* data, std::size_t len, std::size_t& used,
                 const char*& seg, std::size_t& segLen);
    void Reset() { *this = TChunkDecoder(); }
    bool Done() const { return m_state == sDone; }
    const std::string& Error() const { return m_error; }

private:
    enum TState : std::uint8_t { sSize, sExt, sData, sDataEnd, sTrailer, sDone, sFailed };
    TState m_state = sSize;
    std::uint64_t m_size = 0;
    int m_digits = 0;
    std::uint64_t m_left = 0;
    bool m_lineHasText = false;
    std::string m_error;
};

} // namespace http
