#include "app/core/SiteBook.hpp"

#include "app/core/Paths.hpp"
#include "app/core/SafeFile.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {
namespace {

void SetError(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
}

std::string SysError(const std::string& what, const std::string& path, int err)
{
    return what + " \"" + path + "\": " + std::strerror(err);
}

std::string ReadField(const char* record, TSiteField field)
{
    const SiteFieldLayout span = SiteFieldSpan(field);
    const char* p = record + span.Offset;
    return std::string(p, strnlen(p, span.Width));
}

bool WriteField(char* record, TSiteField field, std::string_view text)
{
    const SiteFieldLayout span = SiteFieldSpan(field);
    if (text.size() > span.Width - 1 || text.find('\0') != std::string_view::npos)
        return false;
    std::memset(record + span.Offset, 0, span.Width);
    std::memcpy(record + span.Offset, text.data(), text.size());
    return true;
}

bool HasControlBytes(const std::string& text)
{
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return true;
    return false;
}

// Whether the bytes at record look like a record this system (or its
// predecessor) wrote: every field terminated within its width, an alias,
// a host for a live record, and a port of digits.
bool PlausibleRecord(const char* record, int fieldCount)
{
    for (int f = 0; f < fieldCount; ++f) {
        const SiteFieldLayout span = SiteFieldSpan(static_cast<TSiteField>(f));
        if (std::memchr(record + span.Offset, 0, span.Width) == nullptr)
            return false;
    }
    const std::string alias = ReadField(record, sfAlias);
    if (alias.empty() || HasControlBytes(alias))
        return false;
    if (alias != kDeletedAlias) {
        const std::string host = ReadField(record, sfHostName);
        if (host.empty() || HasControlBytes(host))
            return false;
    }
    for (char c : ReadField(record, sfPort))
        if ((c < '0' || c > '9') && c != ' ')
            return false;
    return true;
}

std::size_t CountPlausible(std::string_view bytes, std::size_t recordSize, int fieldCount)
{
    std::size_t count = 0;
    for (std::size_t pos = 0; pos + recordSize <= bytes.size(); pos += recordSize)
        if (PlausibleRecord(bytes.data() + pos, fieldCount))
            ++count;
    return count;
}

bool FsyncDir(const std::string& dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

off_t FileSize(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool ReadFd(int fd, std::string& bytes)
{
    bytes.clear();
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        bytes.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
}

// Writes bytes into a fresh file at path (mode 0600) and flushes it.
bool WriteNewFile(const std::string& path, std::string_view bytes, std::string* error)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        SetError(error, SysError("Cannot create", path, errno));
        return false;
    }
    int err = 0;
    if (fchmod(fd, 0600) != 0)
        err = errno;
    std::string_view rest = bytes;
    while (err == 0 && !rest.empty()) {
        const ssize_t n = write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            err = n < 0 ? errno : ENOSPC;
        else
            rest.remove_prefix(static_cast<std::size_t>(n));
    }
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0) {
        unlink(path.c_str());
        SetError(error, SysError("Cannot write", path, err));
        return false;
    }
    return true;
}

int OpenBook(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC); // still listable; writes report the failure
    return fd;
}

} // namespace

// ---- records ----

SiteRecord::SiteRecord() { m_bytes.fill(0); }

SiteRecord SiteRecord::FromBytes(std::string_view bytes)
{
    SiteRecord record;
    std::memcpy(record.m_bytes.data(), bytes.data(), std::min(bytes.size(), kSiteRecordSize));
    return record;
}

std::string SiteRecord::Field(TSiteField field) const { return ReadField(m_bytes.data(), field); }

bool SiteRecord::SetField(TSiteField field, std::string_view text)
{
    return WriteField(m_bytes.data(), field, text);
}

LegacySiteRecord::LegacySiteRecord() { m_bytes.fill(0); }

LegacySiteRecord LegacySiteRecord::FromBytes(std::string_view bytes)
{
    LegacySiteRecord record;
    std::memcpy(record.m_bytes.data(), bytes.data(), std::min(bytes.size(), kLegacySiteRecordSize));
    return record;
}

std::string LegacySiteRecord::Field(TSiteField field) const
{
    if (field >= kLegacySiteFieldCount)
        return {};
    return ReadField(m_bytes.data(), field);
}

bool LegacySiteRecord::SetField(TSiteField field, std::string_view text)
{
    if (field >= kLegacySiteFieldCount)
        return false;
    return WriteField(m_bytes.data(), field, text);
}

SiteRecord LegacySiteRecord::ToCurrent() const
{
    SiteRecord record;
    for (int f = 0; f < kLegacySiteFieldCount; ++f) {
        const auto field = static_cast<TSiteField>(f);
        std::string text = Field(field);
        if (text.size() > SiteFieldCapacity(field))
            text.resize(SiteFieldCapacity(field)); // an unterminated field: keep what fits
        record.SetField(field, text);
    }
    return record;
}

// ---- whole-book functions ----

TSiteBookFormat DetectSiteBookFormat(std::string_view bytes)
{
    const std::size_t size = bytes.size();
    if (size == 0 || size % kLegacySiteRecordSize != 0)
        return sbfCurrent;
    if (size < kSiteRecordSize)
        return sbfLegacy;
    // Compare the share of plausible records under both readings:
    // current/nCurrent against legacy/nLegacy, cross-multiplied.
    const std::size_t nCurrent = size / kSiteRecordSize;
    const std::size_t nLegacy = size / kLegacySiteRecordSize;
    const std::size_t current = CountPlausible(bytes, kSiteRecordSize, kSiteFieldCount);
    const std::size_t legacy = CountPlausible(bytes, kLegacySiteRecordSize, kLegacySiteFieldCount);
    const unsigned long long currentScore = static_cast<unsigned long long>(current) * nLegacy;
    const unsigned long long legacyScore = static_cast<unsigned long long>(legacy) * nCurrent;
    if (size % kSiteRecordSize == 0) {
        // A real legacy book is mostly plausible records; a current book
        // read at the wrong stride only now and then lines up.
        return legacyScore > currentScore && legacy * 2 > nLegacy ? sbfLegacy : sbfCurrent;
    }
    // Not a whole number of current records: the current reading must win outright.
    return currentScore > legacyScore ? sbfCurrent : sbfLegacy;
}

std::string ConvertLegacySiteBook(std::string_view legacyBytes)
{
    std::string out;
    for (std::size_t pos = 0; pos + kLegacySiteRecordSize <= legacyBytes.size(); pos += kLegacySiteRecordSize) {
        const LegacySiteRecord legacy = LegacySiteRecord::FromBytes(legacyBytes.substr(pos, kLegacySiteRecordSize));
        if (legacy.IsDeleted())
            continue;
        const SiteRecord record = legacy.ToCurrent();
        out.append(record.Raw().data(), kSiteRecordSize);
    }
    return out;
}

std::vector<SiteEntry> ListLiveSites(std::string_view bytes)
{
    std::vector<SiteEntry> entries;
    for (std::size_t pos = 0; pos + kSiteRecordSize <= bytes.size(); pos += kSiteRecordSize) {
        if (ReadField(bytes.data() + pos, sfAlias) != kDeletedAlias)
            entries.push_back({pos / kSiteRecordSize, SiteRecord::FromBytes(bytes.substr(pos, kSiteRecordSize))});
    }
    return entries;
}

namespace {

std::vector<std::string> AliasesOf(const std::vector<SiteEntry>& entries)
{
    std::vector<std::string> aliases;
    aliases.reserve(entries.size());
    for (const SiteEntry& e : entries)
        aliases.push_back(e.Record.Alias());
    return aliases;
}

} // namespace

std::vector<std::string> ListSiteAliases(std::string_view bytes) { return AliasesOf(ListLiveSites(bytes)); }

std::optional<SiteEntry> FindSite(std::string_view bytes, std::string_view alias)
{
    for (std::size_t pos = 0; pos + kSiteRecordSize <= bytes.size(); pos += kSiteRecordSize) {
        if (ReadField(bytes.data() + pos, sfAlias) == alias)
            return SiteEntry{pos / kSiteRecordSize, SiteRecord::FromBytes(bytes.substr(pos, kSiteRecordSize))};
    }
    return std::nullopt;
}

// ---- the open book ----

SiteBook::~SiteBook() { Close(); }

void SiteBook::Close()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

bool SiteBook::Open(const std::string& programDir, std::string* error)
{
    Close();
    m_dir = programDir;
    m_path = JoinPath(programDir, kSiteBookFileName);
    const std::string tempPath = JoinPath(programDir, kSiteBookTempFileName);

    // A leftover conversion file: when the book is gone (the old order
    // deleted the book before renaming) or empty, it is the only copy.
    if (FileExists(tempPath)) {
        const off_t bookSize = FileSize(m_path);
        const off_t tempSize = FileSize(tempPath);
        if (bookSize < 0 || (bookSize == 0 && tempSize > 0)) {
            if (rename(tempPath.c_str(), m_path.c_str()) != 0) {
                SetError(error, SysError("Cannot recover the site book from", tempPath, errno));
                return false;
            }
            FsyncDir(programDir);
        } else {
            unlink(tempPath.c_str()); // the book is intact; the conversion is redone below if needed
        }
    }

    int fd = OpenBook(m_path);
    if (fd < 0 && errno == ENOENT) {
        fd = open(m_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            SetError(error, SysError("Cannot create the site book", m_path, errno));
            return false;
        }
        fchmod(fd, 0600);
        FsyncDir(programDir);
    }
    if (fd < 0) {
        SetError(error, SysError("Cannot open the site book", m_path, errno));
        return false;
    }

    std::string bytes;
    if (!ReadFd(fd, bytes)) {
        SetError(error, SysError("Cannot read the site book", m_path, errno));
        close(fd);
        return false;
    }
    if (DetectSiteBookFormat(bytes) == sbfLegacy) {
        // The old book stays in place until its replacement is complete.
        if (access(m_path.c_str(), W_OK) != 0) {
            SetError(error, SysError("Cannot convert the site book", m_path, errno));
            close(fd);
            return false;
        }
        if (!WriteNewFile(tempPath, ConvertLegacySiteBook(bytes), error)) {
            close(fd);
            return false;
        }
        if (rename(tempPath.c_str(), m_path.c_str()) != 0) {
            SetError(error, SysError("Cannot convert the site book", m_path, errno));
            unlink(tempPath.c_str());
            close(fd);
            return false;
        }
        FsyncDir(programDir);
        close(fd);
        fd = OpenBook(m_path);
        if (fd < 0) {
            SetError(error, SysError("Cannot open the site book", m_path, errno));
            return false;
        }
    }
    m_fd = fd;
    return true;
}

bool SiteBook::ReadAll(std::string& bytes, std::string* error) const
{
    if (m_fd < 0) {
        SetError(error, "The site book is not open");
        return false;
    }
    struct stat held {}, onDisk {};
    if (fstat(m_fd, &held) == 0 && stat(m_path.c_str(), &onDisk) == 0 &&
        (held.st_ino != onDisk.st_ino || held.st_dev != onDisk.st_dev)) {
        const int fd = OpenBook(m_path);
        if (fd >= 0) {
            close(m_fd);
            m_fd = fd;
        }
    }
    if (!ReadFd(m_fd, bytes)) {
        SetError(error, SysError("Cannot read the site book", m_path, errno));
        return false;
    }
    return true;
}

bool SiteBook::Replace(const std::string& bytes, std::string* error)
{
    if (m_fd < 0) {
        SetError(error, "The site book is not open");
        return false;
    }
    if (!WriteFileAtomic(m_path, bytes, 0600, error))
        return false;
    // Hold the new file from now on.
    const int fd = OpenBook(m_path);
    if (fd < 0) {
        SetError(error, SysError("Cannot open the site book", m_path, errno));
        Close();
        return false;
    }
    close(m_fd);
    m_fd = fd;
    return true;
}

std::vector<SiteEntry> SiteBook::LiveEntries(std::string* error) const
{
    std::string bytes;
    if (!ReadAll(bytes, error))
        return {};
    return ListLiveSites(bytes);
}

std::vector<std::string> SiteBook::Aliases(std::string* error) const { return AliasesOf(LiveEntries(error)); }

std::optional<SiteEntry> SiteBook::Find(std::string_view alias, std::string* error) const
{
    std::string bytes;
    if (!ReadAll(bytes, error))
        return std::nullopt;
    return FindSite(bytes, alias);
}

std::size_t SiteBook::RecordCount(std::string* error) const
{
    std::string bytes;
    if (!ReadAll(bytes, error))
        return 0;
    return bytes.size() / kSiteRecordSize;
}

std::optional<SiteRecord> SiteBook::RecordAt(std::size_t position, std::string* error) const
{
    std::string bytes;
    if (!ReadAll(bytes, error))
        return std::nullopt;
    if (position >= bytes.size() / kSiteRecordSize)
        return std::nullopt;
    return SiteRecord::FromBytes(std::string_view(bytes).substr(position * kSiteRecordSize, kSiteRecordSize));
}

std::optional<std::size_t> SiteBook::Add(const SiteRecord& record, std::string* error)
{
    std::string bytes;
    if (!ReadAll(bytes, error))
        return std::nullopt;
    const std::size_t count = bytes.size() / kSiteRecordSize;
    std::size_t slot = count;
    for (std::size_t i = 0; i < count; ++i) {
        if (ReadField(bytes.data() + i * kSiteRecordSize, sfAlias) == kDeletedAlias) {
            slot = i;
            break;
        }
    }
    if (!Rewrite(slot, record, error))
        return std::nullopt;
    return slot;
}

bool SiteBook::Rewrite(std::size_t position, const SiteRecord& record, std::string* error)
{
    std::string bytes;
    if (!ReadAll(bytes, error))
        return false;
    const std::size_t count = bytes.size() / kSiteRecordSize;
    if (position > count) {
        SetError(error, "The site book has no record at position " + std::to_string(position));
        return false;
    }
    if (position == count)
        bytes.resize(count * kSiteRecordSize + kSiteRecordSize); // over a trailing fragment
    std::memcpy(bytes.data() + position * kSiteRecordSize, record.Raw().data(), kSiteRecordSize);
    return Replace(bytes, error);
}

TSiteBookResult SiteBook::UpdateField(std::string_view alias, TSiteField field, std::string_view text,
                                      std::string* error)
{
    std::string readError;
    std::optional<SiteEntry> entry = Find(alias, &readError);
    if (!entry) {
        if (!readError.empty()) {
            SetError(error, readError);
            return sbrFailed;
        }
        return sbrNotFound;
    }
    if (!entry->Record.SetField(field, text)) {
        SetError(error, "The text is too long for the site book (at most " +
                            std::to_string(SiteFieldCapacity(field)) + " bytes)");
        return sbrFailed;
    }
    return Rewrite(entry->Position, entry->Record, error) ? sbrDone : sbrFailed;
}

TSiteBookResult SiteBook::Delete(std::string_view alias, std::string* error)
{
    return UpdateField(alias, sfAlias, kDeletedAlias, error);
}

TSiteBookResult SiteBook::UpdateRemoteDir(std::string_view alias, std::string_view dir, std::string* error)
{
    return UpdateField(alias, sfRemoteDir, dir, error);
}

TSiteBookResult SiteBook::UpdateLocalDir(std::string_view alias, std::string_view dir, std::string* error)
{
    return UpdateField(alias, sfLocalDir, dir, error);
}

} // namespace app
