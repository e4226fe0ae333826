// SftpSession's worker, its SFTP client: version 3 requests over the
// channel, with downloads and uploads keeping many requests in flight.
// Runs on the session's thread.
#include "app/session/SftpWorker.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

using namespace sftpworker;
using sftp::Attrs;
using sftp::Reader;

namespace {

std::string ErrnoText(const std::string& what, const std::string& path, int err)
{
    return what + " \"" + path + "\": " + std::strerror(err);
}

std::string LocalTimeText(std::uint32_t t)
{
    const std::time_t when = t;
    std::tm tm {};
    if (!localtime_r(&when, &tm))
        return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d.%02d.%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
        tm.tm_hour, tm.tm_min);
    return buf;
}

RemoteRow MakeRow(const std::string& name, const Attrs& own, const Attrs& target)
{
    RemoteRow row;
    row.name = name;
    row.exactName = true;
    row.subItems = 4;
    const bool folder = target.IsFolder();
    row.type = folder ? kTypeDirectory : kTypeFile;
    row.image = folder ? 0 : 1;
    if (target.flags & Attrs::kSize) {
        row.bytes = target.size;
        row.size = target.size ? std::to_string(target.size) : std::string();
    }
    if (target.flags & Attrs::kTimes)
        row.changed = LocalTimeText(target.mtime);
    if (own.flags & Attrs::kPermissions)
        row.perms = sftp::ModeText(own.permissions);
    const std::size_t dot = name.find('.');
    if (!folder && dot != std::string::npos)
        row.iconKey = Lower(name.substr(dot));
    return row;
}

// The byte ranges a download has written, merged: Whole() is where the
// first gap begins.
class Received {
public:
    explicit Received(std::uint64_t from)
        : m_from(from)
    { }
    void Add(std::uint64_t begin, std::uint64_t end)
    {
        if (begin >= end)
            return;
        auto it = m_ranges.upper_bound(begin);
        if (it != m_ranges.begin() && std::prev(it)->second >= begin) {
            --it;
            it->second = std::max(it->second, end);
        } else {
            it = m_ranges.emplace(begin, end).first;
        }
        for (auto after = std::next(it); after != m_ranges.end() && after->first <= it->second;) {
            it->second = std::max(it->second, after->second);
            after = m_ranges.erase(after);
        }
    }
    std::uint64_t Whole() const
    {
        const auto it = m_ranges.begin();
        return it != m_ranges.end() && it->first <= m_from ? std::max(it->second, m_from) : m_from;
    }
    std::uint64_t End() const
    {
        return m_ranges.empty() ? m_from : std::max(m_ranges.rbegin()->second, m_from);
    }

private:
    std::uint64_t m_from;
    std::map<std::uint64_t, std::uint64_t> m_ranges;
};

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

} // namespace

// ---- the SFTP client

std::string SftpSession::Worker::Abs(const std::string& path) const
{
    if (path.empty())
        return m_cwd;
    if (path[0] == '/')
        return path;
    return JoinPath(m_cwd, path);
}

bool SftpSession::Worker::Send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (o.m_stop)
            return false;
        const int n = ssh_channel_write(m_channel, bytes.data() + done, std::uint32_t(bytes.size() - done));
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

SftpSession::Worker::TNext SftpSession::Worker::Next(bool abortable)
{
    auto quiet = Clock::now();
    for (;;) {
        const std::string_view have(m_in.data() + m_inBegin, m_inEnd - m_inBegin);
        if (auto len = sftp::PacketLength(have)) {
            if (*len == 0 || *len > sftp::kMaxPacket) {
                Lost("The SFTP server sent a packet this program cannot read.");
                return nxFailed;
            }
            if (have.size() >= 4 + *len) {
                m_body = have.substr(4, *len);
                m_inBegin += 4 + *len;
                return nxPacket;
            }
        }
        if (abortable && o.m_abort)
            return nxAborted;
        if (o.m_stop) {
            Lost("The connection was closed.");
            return nxFailed;
        }
        // Room for the rest of the packet and the window's worth behind it.
        if (m_inBegin > 0 && m_inEnd + kReadWindow > m_in.size()) {
            std::memmove(m_in.data(), m_in.data() + m_inBegin, m_inEnd - m_inBegin);
            m_inEnd -= m_inBegin;
            m_inBegin = 0;
        }
        const std::uint32_t room = std::uint32_t(m_in.size() - m_inEnd);
        const int n = ssh_channel_read_timeout(m_channel, m_in.data() + m_inEnd, room, 0, kSliceMs);
        if (n > 0) {
            m_inEnd += std::size_t(n);
            quiet = Clock::now();
            continue;
        }
        if (n < 0 || ssh_channel_is_eof(m_channel) || !ssh_channel_is_open(m_channel)) {
            const char* why = ssh_get_error(m_ssh);
            Lost(std::string("The connection was lost")
                + (why && *why ? std::string(": ") + why : std::string()) + ".");
            return nxFailed;
        }
        if (Clock::now() - quiet > std::chrono::seconds(o.m_settings.Timeout)) {
            Lost("The server did not answer for " + std::to_string(o.m_settings.Timeout) + " seconds.");
            return nxFailed;
        }
    }
}

bool SftpSession::Worker::Call(std::uint32_t id)
{
    if (!Send(m_w.Bytes())) {
        Lost("The connection was lost while sending.");
        return false;
    }
    for (;;) {
        if (Next(false) != nxPacket)
            return false;
        const auto h = sftp::ReadHeader(m_body);
        if (h && h->id == id)
            return true;
        m_pending.erase(h ? h->id : 0); // a late reply of an abandoned request
    }
}

SessionResult SftpSession::Worker::StatusResult(const std::string& what)
{
    Reader r(m_body);
    const std::uint8_t type = r.U8();
    r.U32();
    if (type != sftp::pkStatus)
        return Fail(what + ": the server's answer was not a status.");
    const std::uint32_t code = r.U32();
    const std::string_view text = r.Str();
    if (code == sftp::stOk)
        return Success();
    return Fail(what + ": " + sftp::StatusText(code, text));
}

bool SftpSession::Worker::OpenHandle(
    const std::string& path, std::uint32_t flags, std::string& handle, std::string& error)
{
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkOpen, id).Str(path).U32(flags).Attr(Attrs {});
    return HandleReply(id, "Cannot open \"" + path + "\"", handle, error);
}

bool SftpSession::Worker::OpenDir(const std::string& path, std::string& handle, std::string& error)
{
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkOpendir, id).Str(path);
    return HandleReply(id, "Cannot list \"" + path + "\"", handle, error);
}

bool SftpSession::Worker::Exchange(std::uint32_t id, std::string& error)
{
    if (Call(id))
        return true;
    error = "The connection was lost.";
    return false;
}

bool SftpSession::Worker::HandleReply(
    std::uint32_t id, const std::string& failure, std::string& handle, std::string& error)
{
    if (!Exchange(id, error))
        return false;
    Reader r(m_body);
    if (r.U8() == sftp::pkHandle) {
        r.U32();
        handle = std::string(r.Str());
        return r.Ok();
    }
    error = StatusResult(failure).Message;
    return false;
}

void SftpSession::Worker::CloseHandle(const std::string& handle)
{
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkClose, id).Str(handle);
    Call(id);
}

bool SftpSession::Worker::Stat(const std::string& path, Attrs& attrs, std::string& error, bool follow)
{
    const std::uint32_t id = NewId();
    m_w.Begin(follow ? sftp::pkStat : sftp::pkLstat, id).Str(path);
    if (!Exchange(id, error))
        return false;
    Reader r(m_body);
    if (r.U8() == sftp::pkAttrs) {
        r.U32();
        attrs = r.Attr();
        return r.Ok();
    }
    error = StatusResult("\"" + path + "\"").Message;
    return false;
}

bool SftpSession::Worker::RealPath(const std::string& path, std::string& out, std::string& error)
{
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkRealpath, id).Str(path);
    if (!Exchange(id, error))
        return false;
    Reader r(m_body);
    if (r.U8() == sftp::pkName) {
        r.U32();
        if (r.U32() >= 1) {
            out = std::string(r.Str());
            if (r.Ok() && !out.empty())
                return true;
        }
    }
    error = StatusResult("\"" + path + "\"").Message;
    if (error.empty())
        error = "\"" + path + "\": the server could not resolve it.";
    return false;
}

SessionResult SftpSession::Worker::ChangeFolder(const std::string& folder)
{
    std::string real, error;
    Attrs attrs;
    if (!RealPath(Abs(folder), real, error) || !Stat(real, attrs, error))
        return Fail(error);
    if (!attrs.IsFolder())
        return Fail("\"" + real + "\" is not a folder.");
    m_cwd = real;
    return Success();
}

SessionResult SftpSession::Worker::List(const std::string& folder, std::vector<RemoteRow>& rows)
{
    const std::string path = Abs(folder);
    std::string handle, error;
    if (!OpenDir(path, handle, error))
        return Fail(error);
    std::vector<sftp::NameEntry> entries;
    SessionResult result = Success();
    for (;;) {
        const std::uint32_t id = NewId();
        m_w.Begin(sftp::pkReaddir, id).Str(handle);
        if (!Call(id))
            return Fail("The connection was lost while listing.");
        Reader r(m_body);
        if (r.U8() != sftp::pkName) {
            Reader s(m_body);
            s.U8();
            s.U32();
            if (s.U32() != sftp::stEof)
                result = StatusResult("Cannot list \"" + path + "\"");
            break;
        }
        r.U32();
        const std::uint32_t count = r.U32();
        for (std::uint32_t i = 0; i < count && r.Ok(); ++i) {
            sftp::NameEntry e;
            e.name = r.Str();
            e.longName = r.Str();
            e.attrs = r.Attr();
            if (r.Ok() && e.name != "." && e.name != "..")
                entries.push_back(std::move(e));
        }
        if (!r.Ok()) {
            result = Fail("The server's listing of \"" + path + "\" could not be read.");
            break;
        }
    }
    CloseHandle(handle);
    if (!result.Ok || !Connected())
        return result;
    // Links take their target's type: their STATs go out together.
    std::map<std::uint32_t, std::size_t> linkOf;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].attrs.IsLink())
            continue;
        const std::uint32_t id = NewId();
        if (!Send(m_w.Begin(sftp::pkStat, id).Str(JoinPath(path, entries[i].name)).Bytes()))
            return Lost("The connection was lost while listing.");
        linkOf[id] = i;
    }
    std::vector<Attrs> targets(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        targets[i] = entries[i].attrs;
    while (!linkOf.empty()) {
        if (Next(false) != nxPacket)
            return Fail("The connection was lost while listing.");
        Reader r(m_body);
        const std::uint8_t type = r.U8();
        const auto it = linkOf.find(r.U32());
        if (it == linkOf.end())
            continue;
        if (type == sftp::pkAttrs) {
            const Attrs target = r.Attr();
            if (r.Ok())
                targets[it->second] = target;
        }
        linkOf.erase(it);
    }
    rows.clear();
    rows.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        rows.push_back(MakeRow(entries[i].name, entries[i].attrs, targets[i]));
    SortListing(rows);
    return result;
}

void SftpSession::Worker::Progress(const TransferOptions& options, std::int64_t count, bool force)
{
    if (!options.Progress)
        return;
    // The first bytes are told at once, then at most every kProgressEvery.
    const auto now = Clock::now();
    if (!force && m_movedTold && now - m_lastProgress < kProgressEvery)
        return;
    m_movedTold = m_movedTold || !force;
    m_lastProgress = now;
    o.Post([progress = options.Progress, count] { progress(count); });
}

bool SftpSession::Worker::DrainPending()
{
    while (!m_pending.empty()) {
        if (Next(false) != nxPacket)
            return false;
        const auto h = sftp::ReadHeader(m_body);
        m_pending.erase(h ? h->id : 0);
    }
    return true;
}

void SftpSession::Worker::Cleanup()
{
    if (!Connected())
        return;
    if (!DrainPending())
        return;
    if (!m_openHandle.empty()) {
        const std::string handle = std::move(m_openHandle);
        m_openHandle.clear();
        CloseHandle(handle);
    }
}

SessionResult SftpSession::Worker::Get(
    const std::string& remote, const std::string& local, const TransferOptions& options)
{
    const std::string path = Abs(remote);
    const std::int64_t offset = std::max<std::int64_t>(options.Offset, 0);
    std::string handle, error;
    if (!OpenHandle(path, sftp::kOpenRead, handle, error))
        return Fail(error);
    m_openHandle = handle;
    // The size tells where to stop asking; a short read or EOF still ends it.
    std::int64_t size = -1;
    {
        const std::uint32_t id = NewId();
        m_w.Begin(sftp::pkFstat, id).Str(handle);
        if (!Call(id))
            return Fail("The connection was lost.");
        Reader r(m_body);
        if (r.U8() == sftp::pkAttrs) {
            r.U32();
            const Attrs a = r.Attr();
            if (r.Ok() && (a.flags & Attrs::kSize))
                size = std::int64_t(a.size);
        }
    }
    const int fd = ::open(local.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (offset > 0 ? 0 : O_TRUNC), 0644);
    if (fd < 0)
        return Fail(ErrnoText("Cannot write", local, errno));
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer { fd };
    if (offset > 0 && ::ftruncate(fd, offset) != 0)
        return Fail(ErrnoText("Cannot write", local, errno));

    // Replies may leave gaps (a short read asked again later): the file is
    // only good up to the first one, and a transfer that ends early is cut
    // there so that a resume starts from whole data.
    Received got { std::uint64_t(offset) };
    struct CutOnFailure {
        int fd;
        const Received& got;
        bool ok = false;
        ~CutOnFailure()
        {
            if (!ok)
                (void)::ftruncate(fd, off_t(got.Whole()));
        }
    } cut { fd, got };
    std::uint64_t next = std::uint64_t(offset);
    std::uint64_t eofAt = UINT64_MAX; // the lowest offset the server said is past the end
    std::vector<Pending> retry;
    const std::uint32_t readSize = std::clamp<std::uint32_t>(o.m_settings.ReadSize, 1024, kMaxReadSize);
    m_movedTold = false;
    Progress(options, offset, true);
    // Requests go out together, a batch at a time: one channel write each
    // instead of one per request.
    std::string batch;
    const auto request = [&](std::uint64_t at, std::uint32_t length) {
        const std::uint32_t id = NewId();
        m_pending[id] = { at, length };
        batch += m_w.Begin(sftp::pkRead, id).Str(handle).U64(at).U32(length).Bytes();
        return true;
    };
    for (;;) {
        batch.clear();
        while (m_pending.size() < kMaxReads && (m_pending.empty() || m_pending.size() <= kMaxReads - kReadBatch
                                                   || !batch.empty())) {
            bool sent;
            if (!retry.empty()) {
                const Pending again = retry.back();
                retry.pop_back();
                if (again.offset >= eofAt)
                    continue;
                sent = request(again.offset, again.length);
            } else if (eofAt == UINT64_MAX && (size < 0 || next < std::uint64_t(size))) {
                sent = request(next, readSize);
                next += readSize;
            } else {
                break;
            }
            if (!sent)
                return Lost("The connection was lost while downloading.");
        }
        if (!batch.empty() && !Send(batch))
            return Lost("The connection was lost while downloading.");
        if (m_pending.empty())
            break;
        const TNext step = Next(true);
        if (step == nxAborted) {
            SessionResult r = Fail("The download was stopped.");
            r.Aborted = true;
            r.Value = std::int64_t(got.Whole());
            return r;
        }
        if (step == nxFailed)
            return Fail("The connection was lost while downloading \"" + path + "\".");
        Reader r(m_body);
        const std::uint8_t type = r.U8();
        const auto it = m_pending.find(r.U32());
        if (it == m_pending.end())
            continue;
        const Pending want = it->second;
        m_pending.erase(it);
        if (type == sftp::pkData) {
            const std::string_view data = r.Str();
            if (!r.Ok() || data.size() > want.length)
                return Fail("The server's data for \"" + path + "\" could not be read.");
            for (std::size_t done = 0; done < data.size();) {
                const ssize_t n
                    = ::pwrite(fd, data.data() + done, data.size() - done, off_t(want.offset + done));
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    return Fail(ErrnoText("Cannot write", local, errno));
                }
                done += std::size_t(n);
            }
            got.Add(want.offset, want.offset + data.size());
            // A short read: the rest of that range is asked for again.
            if (data.size() < want.length)
                retry.push_back({ want.offset + data.size(), std::uint32_t(want.length - data.size()) });
            Progress(options, std::int64_t(got.Whole()), false);
        } else if (type == sftp::pkStatus) {
            const std::uint32_t code = r.U32();
            if (code != sftp::stEof)
                return Fail("Cannot read \"" + path + "\": " + sftp::StatusText(code, r.Str()));
            eofAt = std::min(eofAt, want.offset);
        } else {
            return Fail("The server's answer for \"" + path + "\" could not be read.");
        }
    }
    m_openHandle.clear();
    CloseHandle(handle);
    if (!Connected())
        return Fail("The connection was lost while downloading \"" + path + "\".");
    if (got.Whole() != got.End())
        return Fail("The server left out part of \"" + path + "\".");
    cut.ok = true;
    Progress(options, std::int64_t(got.Whole()), true);
    SessionResult done = Success();
    done.Value = std::int64_t(got.Whole());
    return done;
}

SessionResult SftpSession::Worker::Put(
    const std::string& local, const std::string& remote, const TransferOptions& options)
{
    const std::string path = Abs(remote);
    const std::int64_t offset = std::max<std::int64_t>(options.Offset, 0);
    const int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Fail(ErrnoText("Cannot read", local, errno));
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer { fd };
    struct stat st { };
    if (::fstat(fd, &st) != 0)
        return Fail(ErrnoText("Cannot read", local, errno));
    const std::uint64_t size = std::uint64_t(st.st_size);
    if (std::uint64_t(offset) > size)
        return Fail("\"" + remote + "\" is larger on the server than \"" + local + "\" here.");
    std::string handle, error;
    const std::uint32_t flags = sftp::kOpenWrite | sftp::kOpenCreate | (offset > 0 ? 0 : sftp::kOpenTruncate);
    if (!OpenHandle(path, flags, handle, error))
        return Fail(error);
    m_openHandle = handle;
    std::uint64_t next = std::uint64_t(offset), acked = std::uint64_t(offset);
    m_movedTold = false;
    Progress(options, offset, true);
    for (;;) {
        while (next < size && m_pending.size() < kMaxWrites) {
            if (o.m_abort)
                break;
            const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(kWriteSize, size - next));
            const std::uint32_t id = NewId();
            char* data = m_w.Begin(sftp::pkWrite, id).Str(handle).U64(next).StrSpace(n);
            for (std::uint32_t done = 0; done < n;) {
                const ssize_t got = ::pread(fd, data + done, n - done, off_t(next + done));
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    return Fail(got < 0 ? ErrnoText("Cannot read", local, errno)
                                        : "\"" + local + "\" became shorter while it was sent.");
                done += std::uint32_t(got);
            }
            m_pending[id] = { next, n };
            if (!Send(m_w.Bytes()))
                return Lost("The connection was lost while uploading.");
            next += n;
        }
        if (m_pending.empty() && !o.m_abort)
            break;
        const TNext got = m_pending.empty() ? nxAborted : Next(true);
        if (got == nxAborted) {
            SessionResult r = Fail("The upload was stopped.");
            r.Aborted = true;
            r.Value = std::int64_t(acked);
            return r;
        }
        if (got == nxFailed)
            return Fail("The connection was lost while uploading \"" + path + "\".");
        Reader r(m_body);
        const std::uint8_t type = r.U8();
        const auto it = m_pending.find(r.U32());
        if (it == m_pending.end())
            continue;
        m_pending.erase(it);
        const std::uint32_t code = type == sftp::pkStatus ? r.U32() : sftp::stBadMessage;
        if (code != sftp::stOk)
            return Fail("Cannot write \"" + path + "\": " + sftp::StatusText(code, r.Str()));
        // Bytes count as written once every write before them is in (ids
        // grow with the offset, so the oldest pending write is the first).
        acked = m_pending.empty() ? next : m_pending.begin()->second.offset;
        Progress(options, std::int64_t(acked), false);
    }
    m_openHandle.clear();
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkClose, id).Str(handle);
    if (!Call(id))
        return Fail("The connection was lost while uploading \"" + path + "\".");
    SessionResult closed = StatusResult("Cannot write \"" + path + "\"");
    if (!closed.Ok)
        return closed;
    Progress(options, std::int64_t(size), true);
    closed.Value = std::int64_t(size);
    return closed;
}

SessionResult SftpSession::Worker::Simple(
    sftp::TPacket type, const std::string& path, const std::string& what)
{
    const std::uint32_t id = NewId();
    m_w.Begin(type, id).Str(Abs(path));
    if (type == sftp::pkMkdir)
        m_w.Attr(Attrs {});
    if (!Call(id))
        return Fail("The connection was lost.");
    return StatusResult(what + " \"" + path + "\"");
}

SessionResult SftpSession::Worker::Rename(const std::string& from, const std::string& to)
{
    const std::uint32_t id = NewId();
    // The OpenSSH extension replaces an existing target as FTP's rename
    // does; plain version 3 refuses one.
    if (m_posixRename)
        m_w.Begin(sftp::pkExtended, id).Str("posix-rename@openssh.com").Str(Abs(from)).Str(Abs(to));
    else
        m_w.Begin(sftp::pkRename, id).Str(Abs(from)).Str(Abs(to));
    if (!Call(id))
        return Fail("The connection was lost.");
    return StatusResult("Cannot rename \"" + from + "\" to \"" + to + "\"");
}

SessionResult SftpSession::Worker::ChangeMode(const std::string& path, std::uint32_t mode)
{
    Attrs a;
    a.flags = Attrs::kPermissions;
    a.permissions = mode;
    const std::uint32_t id = NewId();
    m_w.Begin(sftp::pkSetstat, id).Str(Abs(path)).Attr(a);
    if (!Call(id))
        return Fail("The connection was lost.");
    return StatusResult("Cannot change the mode of \"" + path + "\"");
}

SessionResult SftpSession::Worker::Size(const std::string& path)
{
    Attrs a;
    std::string error;
    if (!Stat(Abs(path), a, error))
        return Fail(error);
    if (!(a.flags & Attrs::kSize))
        return Fail("The server did not tell the size of \"" + path + "\".");
    SessionResult r = Success();
    r.Value = std::int64_t(a.size);
    return r;
}

} // namespace app
