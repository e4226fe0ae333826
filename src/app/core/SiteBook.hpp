// The site book "sitelog.cvn": fixed-size binary records, one per site, kept
// open for the whole run. Every change reaches the disk at once and is made
// crash-safe (the new contents are written beside the book and renamed over
// it), so a failure leaves the book on disk as it was. Not thread-safe: the
// user-interface thread owns it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

inline constexpr const char* kSiteBookFileName = "sitelog.cvn";
inline constexpr const char* kSiteBookTempFileName = "sitelog1.cvn";
inline constexpr const char* kDeletedAlias = "!";

inline constexpr std::size_t kSiteRecordSize = 1467;
inline constexpr std::size_t kLegacySiteRecordSize = 185;

// The fields of a record. The first five are also those of the legacy record.
enum TSiteField : std::uint8_t {
    sfAlias,
    sfHostName,
    sfUserName,
    sfPassword,
    sfPort,
    sfRemoteDir,
    sfLocalDir,
    sfReserved
};
inline constexpr int kSiteFieldCount = 8;
inline constexpr int kLegacySiteFieldCount = 5;

struct SiteFieldLayout {
    std::size_t Offset;
    std::size_t Width; // including the terminating zero: at most Width - 1 text bytes
};

// Byte offset and width of a field (identical in both record formats).
constexpr SiteFieldLayout SiteFieldSpan(TSiteField field)
{
    constexpr SiteFieldLayout table[kSiteFieldCount] = {
        {0, 21}, {21, 51}, {72, 51}, {123, 51}, {174, 11}, {185, 513}, {698, 513}, {1211, 256}};
    return table[field];
}

// Most text bytes a field can hold (Width - 1). Lengths are bytes, so a
// caller holding UTF-8 must refuse input before it would split a character.
constexpr std::size_t SiteFieldCapacity(TSiteField field) { return SiteFieldSpan(field).Width - 1; }

// One 1467-byte record. Each field is a zero-terminated text padded with
// zeros to its width; readers stop at the first zero (or the field's end).
class SiteRecord {
public:
    using Bytes = std::array<char, kSiteRecordSize>;

    SiteRecord(); // all fields empty
    // Exactly kSiteRecordSize bytes, taken as they are (no checks).
    static SiteRecord FromBytes(std::string_view bytes);
    const Bytes& Raw() const { return m_bytes; }

    std::string Field(TSiteField field) const;
    // Refuses (returns false, record unchanged) text longer than the field's
    // capacity or holding a zero byte; otherwise stores it and zeroes the
    // rest of the field, so nothing of an earlier value is left behind.
    bool SetField(TSiteField field, std::string_view text);

    std::string Alias() const { return Field(sfAlias); }
    std::string HostName() const { return Field(sfHostName); }
    std::string UserName() const { return Field(sfUserName); }
    std::string Password() const { return Field(sfPassword); }
    std::string Port() const { return Field(sfPort); }
    std::string RemoteDir() const { return Field(sfRemoteDir); }
    std::string LocalDir() const { return Field(sfLocalDir); }
    std::string Reserved() const { return Field(sfReserved); }
    bool SetAlias(std::string_view v) { return SetField(sfAlias, v); }
    bool SetHostName(std::string_view v) { return SetField(sfHostName, v); }
    bool SetUserName(std::string_view v) { return SetField(sfUserName, v); }
    bool SetPassword(std::string_view v) { return SetField(sfPassword, v); }
    bool SetPort(std::string_view v) { return SetField(sfPort, v); }
    bool SetRemoteDir(std::string_view v) { return SetField(sfRemoteDir, v); }
    bool SetLocalDir(std::string_view v) { return SetField(sfLocalDir, v); }

    // The alias is exactly "!".
    bool IsDeleted() const { return Alias() == kDeletedAlias; }

private:
    Bytes m_bytes;
};

// One 185-byte record of an older book: Alias, HostName, UserName, Password,
// Port at the same offsets and widths. Only read, to convert a book.
class LegacySiteRecord {
public:
    using Bytes = std::array<char, kLegacySiteRecordSize>;

    LegacySiteRecord();
    static LegacySiteRecord FromBytes(std::string_view bytes); // exactly 185 bytes
    const Bytes& Raw() const { return m_bytes; }

    // Valid for sfAlias .. sfPort only.
    std::string Field(TSiteField field) const;
    bool SetField(TSiteField field, std::string_view text);
    bool IsDeleted() const { return Field(sfAlias) == kDeletedAlias; }

    // The current record with the five fields (a field that lacks its
    // terminator is cut to the capacity) and empty directories.
    SiteRecord ToCurrent() const;

private:
    Bytes m_bytes;
};

enum TSiteBookFormat : std::uint8_t { sbfCurrent, sbfLegacy };

// How the bytes of a book are read. A size that is not a whole multiple of
// 185 is current, and so is the empty book. Other multiples of 185 are
// legacy unless they hold at least one whole current record and read better
// as current records (every field terminated, an alias, a host, a numeric
// port). A size that is a multiple of both (every 185 current records, or
// 1467 legacy ones) is legacy only when most of its 185-byte records are
// plausible and the share beats the current reading, so a current book is
// never converted by mistake.
TSiteBookFormat DetectSiteBookFormat(std::string_view bytes);

// Builds the current-format book of a legacy one: every live legacy record,
// in order; deleted ones are dropped; a trailing fragment is ignored.
std::string ConvertLegacySiteBook(std::string_view legacyBytes);

struct SiteEntry {
    std::size_t Position; // record index (byte offset / kSiteRecordSize)
    SiteRecord Record;
};

// The live records of a current-format book with their positions, in file
// order; a trailing fragment shorter than a record is ignored.
std::vector<SiteEntry> ListLiveSites(std::string_view bytes);
// Their aliases.
std::vector<std::string> ListSiteAliases(std::string_view bytes);

// First record whose alias equals alias exactly (case-sensitive).
std::optional<SiteEntry> FindSite(std::string_view bytes, std::string_view alias);

enum TSiteBookResult : std::uint8_t {
    sbrDone,     // the record was written
    sbrNotFound, // no record has that alias; nothing written
    sbrFailed    // the book could not be read or written; see the error text
};

class SiteBook {
public:
    SiteBook() = default;
    ~SiteBook();
    SiteBook(const SiteBook&) = delete;
    SiteBook& operator=(const SiteBook&) = delete;

    // Opens programDir/sitelog.cvn, creating it empty (mode 0600) when
    // missing, and converts a legacy book through sitelog1.cvn, which takes
    // the book's place by rename only once it is complete. A leftover
    // sitelog1.cvn from an interrupted start is recovered when the book
    // itself is missing (or empty) and discarded otherwise. On failure the
    // book stays closed and the files on disk are as they were.
    bool Open(const std::string& programDir, std::string* error = nullptr);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }

    // Each operation reads the book from its start.
    std::vector<SiteEntry> LiveEntries(std::string* error = nullptr) const;
    std::vector<std::string> Aliases(std::string* error = nullptr) const;
    std::optional<SiteEntry> Find(std::string_view alias, std::string* error = nullptr) const;
    // Number of whole records in the file, live or deleted.
    std::size_t RecordCount(std::string* error = nullptr) const;
    std::optional<SiteRecord> RecordAt(std::size_t position, std::string* error = nullptr) const;

    // Writes record into the first slot whose alias is "!", else after the
    // last whole record (over a trailing fragment). Returns the position.
    std::optional<std::size_t> Add(const SiteRecord& record, std::string* error = nullptr);
    // Writes record at position (an existing record or the end).
    bool Rewrite(std::size_t position, const SiteRecord& record, std::string* error = nullptr);
    // Sets the alias of the first matching record to "!"; other fields stay.
    TSiteBookResult Delete(std::string_view alias, std::string* error = nullptr);
    // "Make Default Dir": changes only that field of the first matching record.
    TSiteBookResult UpdateRemoteDir(std::string_view alias, std::string_view dir,
                                    std::string* error = nullptr);
    TSiteBookResult UpdateLocalDir(std::string_view alias, std::string_view dir,
                                   std::string* error = nullptr);

private:
    bool ReadAll(std::string& bytes, std::string* error) const;
    bool Replace(const std::string& bytes, std::string* error);
    TSiteBookResult UpdateField(std::string_view alias, TSiteField field, std::string_view text,
                                std::string* error);

    // Follows the book when another instance replaced it since the last
    // operation, so no instance works from (and writes back) stale records.
    mutable int m_fd = -1;
    std::string m_dir;
    std::string m_path;
};

} // namespace app
