// SFTP version 3 packets as values: building a request, reading a reply.
// Pure functions over bytes, no I/O, no thread affinity; the client in
// SftpSession sends what these build over an SSH channel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::sftp {

enum TPacket : std::uint8_t {
    pkInit = 1,
    pkVersion = 2,
    pkOpen = 3,
    pkClose = 4,
    pkRead = 5,
    pkWrite = 6,
    pkLstat = 7,
    pkFstat = 8,
    pkSetstat = 9,
    pkFsetstat = 10,
    pkOpendir = 11,
    pkReaddir = 12,
    pkRemove = 13,
    pkMkdir = 14,
    pkRmdir = 15,
    pkRealpath = 16,
    pkStat = 17,
    pkRename = 18,
    pkReadlink = 19,
    pkStatus = 101,
    pkHandle = 102,
    pkData = 103,
    pkName = 104,
    pkAttrs = 105,
    pkExtended = 200,
    pkExtendedReply = 201,
};

enum TStatus : std::uint32_t {
    stOk = 0,
    stEof = 1,
    stNoSuchFile = 2,
    stPermissionDenied = 3,
    stFailure = 4,
    stBadMessage = 5,
    stNoConnection = 6,
    stConnectionLost = 7,
    stOpUnsupported = 8,
};

// OPEN's pflags.
constexpr std::uint32_t kOpenRead = 0x01, kOpenWrite = 0x02, kOpenAppend = 0x04, kOpenCreate = 0x08,
                        kOpenTruncate = 0x10, kOpenExclusive = 0x20;

// The largest packet a reply may be: the servers' own limit is 256 KiB plus
// framing; anything far beyond that is a broken stream.
constexpr std::uint32_t kMaxPacket = 1u << 20;

struct Attrs {
    static constexpr std::uint32_t kSize = 0x1, kUidGid = 0x2, kPermissions = 0x4, kTimes = 0x8,
                                   kExtended = 0x80000000u;
    std::uint32_t flags = 0;
    std::uint64_t size = 0;
    std::uint32_t uid = 0, gid = 0;
    std::uint32_t permissions = 0; // with the S_IFMT type bits
    std::uint32_t atime = 0, mtime = 0;

    bool IsFolder() const { return (flags & kPermissions) && (permissions & 0170000) == 0040000; }
    bool IsLink() const { return (flags & kPermissions) && (permissions & 0170000) == 0120000; }
};

struct NameEntry {
    std::string name;
    std::string longName;
    Attrs attrs;
};

// A request: Begin(type, id), the fields in order, then Bytes() with the
// length in front. Begin may be called again to reuse the buffer.
class Writer {
public:
    Writer& Begin(TPacket type, std::uint32_t id);
    // INIT carries the version where the others carry an id.
    Writer& BeginInit(std::uint32_t version);
    Writer& U8(std::uint8_t v);
    Writer& U32(std::uint32_t v);
    Writer& U64(std::uint64_t v);
    Writer& Str(std::string_view s);
    Writer& Attr(const Attrs& a);
    // Reserves n bytes for a string's contents (its length written), so a
    // WRITE's data can be read from a file straight into the packet.
    char* StrSpace(std::uint32_t n);
    const std::string& Bytes();

private:
    std::string m_buf;
};

// A reply's body (after the length): its fields read in order. A read past
// the end yields zero or empty values and turns Ok() false, so a short
// packet never reads out of bounds.
class Reader {
public:
    explicit Reader(std::string_view body)
        : m_rest(body)
    { }
    std::uint8_t U8();
    std::uint32_t U32();
    std::uint64_t U64();
    std::string_view Str();
    Attrs Attr();
    bool Ok() const { return m_ok; }
    std::size_t Left() const { return m_rest.size(); }

private:
    bool Take(std::size_t n, std::string_view& out);
    std::string_view m_rest;
    bool m_ok = true;
};

// A reply's type and id (pkVersion: id is the version); nullopt when the
// body is too short to have them.
struct Header {
    TPacket type;
    std::uint32_t id;
};
std::optional<Header> ReadHeader(std::string_view body);

// The length in front of a packet, once four bytes are there.
std::optional<std::uint32_t> PacketLength(std::string_view bytes);

// A status reply's code and text ("No such file" when the server sent none).
std::string StatusText(std::uint32_t code, std::string_view message);

// "drwxr-xr-x" from the permission bits with their type.
std::string ModeText(std::uint32_t permissions);

// "755" / "0755" / "4755" to bits; nullopt for anything else.
std::optional<std::uint32_t> ParseOctalMode(std::string_view text);

} // namespace app::sftp
