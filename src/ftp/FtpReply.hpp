// Pure pieces of the FTP reply grammar, kept apart from the engine so they can
// be table-tested and fuzzed without sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ftp {

// Features announced by FEAT.
enum TFtpFeat : std::uint8_t {
    ftpFeatMdtmTz, ftpFeatMdtm, ftpFeatSize, ftpFeatRestStream, ftpFeatMlst, ftpFeatMfmt, ftpFeatMd5
};

// A small set of enumeration values (bit position = value).
template <typename E, typename Bits = std::uint64_t>
class TEnumSet {
public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> values)
    {
        for (E v : values)
            Include(v);
    }
    constexpr bool Contains(E v) const { return (m_bits >> static_cast<unsigned>(v)) & 1u; }
    constexpr void Include(E v) { m_bits |= Bits(1) << static_cast<unsigned>(v); }
    constexpr void Exclude(E v) { m_bits &= ~(Bits(1) << static_cast<unsigned>(v)); }
    constexpr bool Empty() const { return m_bits == 0; }
    constexpr void Clear() { m_bits = 0; }
    constexpr Bits ToBits() const { return m_bits; }
    constexpr bool operator==(const TEnumSet&) const = default;

private:
    Bits m_bits = 0;
};

using TFtpFeatures = TEnumSet<TFtpFeat, std::uint16_t>;

// Where a reply line ends in a buffer: with acceptLF the first LF ends it,
// otherwise the first CR LF pair. Returns the number of bytes the line takes
// including its terminator, 0 when no complete line is there yet.
std::size_t FindLineEnd(std::string_view buffer, bool acceptLF);

// The line text without trailing CR and LF characters.
std::string_view TrimLineEnd(std::string_view line);

// Reads the number a reply line starts with. Returns false when the line does
// not start with a digit (then code is left alone). final tells whether the
// number is not followed by "-".
bool ReadReplyCode(std::string_view line, int& code, bool& final);

// True for a digit-led line whose number is not followed by "-".
bool IsFinalLine(std::string_view line);

// 227 reply: six comma-separated numbers, in parentheses when there are any.
// False (and nothing changed) when six numbers in 0..255 are not there.
bool ParsePasvReply(std::string_view reply, std::string& addr, std::uint16_t& port);

// 229 reply: "(<d><d><d>port<d>)" with one delimiter d (a printable
// character, not a digit) and a port 1..65535. False (port unchanged) otherwise.
bool ParseEpsvReply(std::string_view reply, std::uint16_t& port);

// The EPRT command for an address text and a port: "EPRT |1|a.b.c.d|port|"
// for IPv4, "EPRT |2|addr|port|" for IPv6 (a text holding a colon).
std::string EprtCommand(const std::string& addr, unsigned port);

// 257-style reply: the quoted path after the code, "" inside standing for one
// quote; empty when the text after the code does not start with a quote.
std::string ParseQuotedPath(std::string_view reply);

// SIZE reply: the number after the code (0 when there is none).
std::int64_t ParseSizeReply(std::string_view reply);

// MDTM reply: the date-time of the first word after the code (see MdtmToDateTime).
double ParseMdtmReply(std::string_view reply);

// MD5 reply "251 name hash" or "251 \"name\" hash".
void ParseMd5Reply(std::string_view reply, std::string& fileName, std::string& hash);

// One line of a FEAT reply: adds what it announces; a MLST line also sets facts.
void ParseFeatLine(std::string_view line, TFtpFeatures& features, std::string& mlstFacts);

// One line of a MLST reply received while the status is 250: the facts line
// (it starts with a blank) or nothing.
bool ParseMlstLine(std::string_view line, std::string& facts);

// Text with blanks and control characters removed at both ends.
std::string Trim(std::string_view s);

// True when the text holds a CR, LF or NUL, which would end or corrupt a command.
bool HasLineBreak(std::string_view s);

} // namespace ftp
