#include "app/core/Queue.hpp"

#include "app/core/SafeFile.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>

namespace app {
namespace fs = std::filesystem;

namespace {

bool HasLineBreak(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void Note(std::vector<std::string>* notes, std::string text)
{
    if (notes)
        notes->push_back(std::move(text));
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// The path's elements with "." and ".." resolved; ".." at the root stays
// there, a leading ".." of a relative path is kept.
std::vector<std::string_view> Elements(std::string_view path)
{
    std::vector<std::string_view> parts;
    const bool absolute = !path.empty() && path.front() == '/';
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view part = path.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(part);
            continue;
        }
        parts.push_back(part);
    }
    return parts;
}

bool HasParentElement(std::string_view path)
{
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string_view::npos)
            end = path.size();
        if (path.substr(pos, end - pos) == "..")
            return true;
        pos = end + 1;
    }
    return false;
}

// The absolute form of a local path, "." and ".." resolved as text.
std::string Absolute(const std::string& path, const std::string& cwd)
{
    const std::string full = !path.empty() && path.front() == '/' ? path : cwd + "/" + path;
    std::string result;
    for (const std::string_view part : Elements(full)) {
        result += '/';
        result += part;
    }
    return result.empty() ? "/" : result;
}

std::string Join(const std::string& dir, const std::string& name)
{
    return dir == "/" ? "/" + name : dir + "/" + name;
}

class UploadWalk {
public:
    UploadWalk(const std::string& cwd, const std::string& currentRemoteDir, std::vector<std::string>& out,
        std::vector<std::string>* notes, const std::function<void()>& pump)
        : m_cwd(cwd)
        , m_remoteDir(currentRemoteDir)
        , m_out(out)
        , m_notes(notes)
        , m_pump(pump)
    {
    }

    // The top folder's own entry is written here; a subfolder's by its parent.
    void Folder(const std::string& local, const std::string& remote, bool top)
    {
        const std::string absolute = Absolute(local, m_cwd);
        if (top && !Add(kUploadDir, absolute, JoinRemote(m_remoteDir, remote)))
            return;
        std::error_code ec;
        fs::directory_iterator it(absolute, ec);
        if (ec) {
            Note(m_notes,
                Quoted(absolute) + " cannot be read (" + ec.message() + "); its contents are not queued.");
            return;
        }
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            if (ec)
                break;
            const std::string name = it->path().filename().string();
            if (name.empty() || name.front() == '.')
                continue;
            const std::string localPath = Join(absolute, name);
            const std::string remotePath = JoinRemote(m_remoteDir, remote + "/" + name);
            if (name.find('\\') != std::string::npos) {
                // The server would see the '\' as a folder separator.
                Note(m_notes, Quoted(localPath) + " has a '\\' in its name; it is skipped.");
                continue;
            }
            std::error_code linkEc;
            const bool link = it->is_symlink(linkEc);
            std::error_code typeEc;
            const fs::file_status status = it->status(typeEc);
            if (link && status.type() == fs::file_type::not_found) {
                Note(m_notes, Quoted(localPath) + " is a broken link; it is skipped.");
                continue;
            }
            if (typeEc) {
                Note(m_notes,
                    Quoted(localPath) + " cannot be read (" + typeEc.message() + "); it is skipped.");
                continue;
            }
            if (fs::is_directory(status)) {
                if (!Add(kUploadDir, localPath, remotePath))
                    continue;
                // A link is created remotely as a folder but never followed: it may lead back up.
                if (!link)
                    Folder(local + "/" + name, remote + "/" + name, false);
            } else if (fs::is_regular_file(status)) {
                if (Add(kUploadFile, localPath, remotePath) && m_pump)
                    m_pump();
            } else {
                // Reading a pipe or a device would never end.
                Note(m_notes, Quoted(localPath) + " is not a file or folder; it is skipped.");
            }
        }
        if (ec)
            Note(m_notes,
                Quoted(absolute) + " could not be read to the end (" + ec.message()
                    + "); the rest of it is not queued.");
    }

    // Appends marker + local + ";" + remote unless the line could not be split back.
    bool Add(const char* marker, const std::string& local, const std::string& remote)
    {
        if (local.find(';') != std::string::npos || HasLineBreak(local) || HasLineBreak(remote)) {
            Note(m_notes,
                Quoted(local) + " cannot be written in the queue (a ';' or a line break); it is skipped.");
            return false;
        }
        m_out.push_back(marker + local + ";" + remote);
        return true;
    }

private:
    const std::string& m_cwd;
    const std::string& m_remoteDir;
    std::vector<std::string>& m_out;
    std::vector<std::string>* m_notes;
    const std::function<void()>& m_pump;
};

} // namespace

QueueEntry SplitQueueLine(std::string_view line)
{
    QueueEntry entry;
    if (line.empty())
        return entry;
    entry.Op = line[0];
    const std::size_t firstSemi = line.find(';');
    if (firstSemi != std::string_view::npos && firstSemi > 2)
        entry.Kind = line.substr(2, firstSemi - 2);
    const std::string_view rest = line.size() > 4 ? line.substr(4) : std::string_view();
    const std::size_t semi = rest.find(';');
    if (entry.Op == 'R' || semi == std::string_view::npos) {
        // A name with ';' in it must not turn part of itself into a local path.
        entry.Remote = rest;
    } else {
        entry.Local = rest.substr(0, semi);
        entry.Remote = rest.substr(semi + 1);
    }
    std::replace(entry.Remote.begin(), entry.Remote.end(), '\\', '/');
    return entry;
}

void BuildUploadEntries(const std::string& local, const std::string& remote, const std::string& cwd,
    const std::string& currentRemoteDir, std::vector<std::string>& out, std::vector<std::string>* notes,
    const std::function<void()>& pump)
{
    UploadWalk walk(cwd, currentRemoteDir, out, notes, pump);
    const std::string absolute = Absolute(local, cwd);
    struct stat st {};
    const bool exists = stat(absolute.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        walk.Folder(local, remote, true);
        return;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        Note(notes, Quoted(absolute) + " is not a file or folder; it is skipped.");
        return;
    }
    if (walk.Add(kUploadFile, absolute, JoinRemote(currentRemoteDir, remote)) && pump)
        pump();
}

void BuildDownloadEntries(const std::string& base, const std::string& currentRemoteDir,
    const std::vector<WalkedRow>& rows, std::vector<std::string>& out, std::vector<std::string>* notes)
{
    for (const WalkedRow& row : rows) {
        const std::string& caption = row.Caption;
        const std::string local = base + caption;
        if (caption.empty() || HasParentElement(caption) || caption.find('\0') != std::string::npos
            || !StaysInside(base, local)) {
            Note(notes, Quoted(caption) + " would be saved outside " + Quoted(base) + "; it is not queued.");
            continue;
        }
        if (local.find(';') != std::string::npos || HasLineBreak(caption)) {
            Note(notes,
                Quoted(caption)
                    + " cannot be written in the queue (a ';' or a line break); it is not queued.");
            continue;
        }
        out.push_back(
            (row.Folder ? kDownloadDir : kDownloadFile) + local + ";" + JoinRemote(currentRemoteDir, caption));
    }
}

void BuildDeleteEntries(const std::string& currentRemoteDir, const std::vector<WalkedRow>& rows,
    std::vector<std::string>& out, std::vector<std::string>* notes)
{
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        if (HasLineBreak(it->Caption)) {
            // Saved and read back it would become two entries.
            Note(notes,
                Quoted(it->Caption) + " cannot be written in the queue (a line break); it is not deleted.");
            continue;
        }
        const bool absolute = !it->Caption.empty() && it->Caption.front() == '/';
        out.push_back((it->Folder ? kDeleteDir : kDeleteFile)
            + (absolute ? it->Caption : JoinRemote(currentRemoteDir, it->Caption)));
    }
}

std::string JoinRemote(const std::string& folder, const std::string& name)
{
    // One slash between the two: "//x" is not the same path on every server.
    const bool slashEnds = !folder.empty() && folder.back() == '/';
    const bool slashStarts = !name.empty() && name.front() == '/';
    if (slashEnds && slashStarts)
        return folder + name.substr(1);
    if (slashEnds || slashStarts)
        return folder + name;
    return folder + "/" + name;
}

// ---------------------------------------------------------------- the queue's lines

void QueueLines::Assign(std::vector<std::string> lines)
{
    m_lines = std::move(lines);
    m_marks.clear();
    m_failed = 0;
    for (std::size_t i = 0; i < m_lines.size(); ++i)
        m_marks.push_back({ m_nextId++, 0, false });
}

void QueueLines::Append(const std::vector<std::string>& lines, int batch)
{
    for (const std::string& line : lines) {
        m_lines.push_back(line);
        m_marks.push_back({ m_nextId++, batch, false });
    }
}

std::size_t QueueLines::Next(int batch) const
{
    for (std::size_t i = 0; i < m_marks.size(); ++i) {
        if (!m_marks[i].failed && (batch == 0 || m_marks[i].batch == batch))
            return i;
    }
    return npos;
}

std::size_t QueueLines::Count(int batch) const
{
    if (batch == 0)
        return m_marks.size() - m_failed;
    return std::size_t(std::count_if(m_marks.begin(), m_marks.end(),
        [batch](const Mark& m) { return !m.failed && (batch == 0 || m.batch == batch); }));
}

std::size_t QueueLines::IndexOf(Id id) const
{
    for (std::size_t i = 0; i < m_marks.size(); ++i) {
        if (m_marks[i].id == id)
            return i;
    }
    return npos;
}

void QueueLines::MarkFailed(std::size_t i)
{
    m_failed += !m_marks[i].failed;
    m_marks[i].failed = true;
}

void QueueLines::ClearFailed(int batch)
{
    for (Mark& m : m_marks) {
        if (m.failed && (batch == 0 || m.batch == batch)) {
            m.failed = false;
            --m_failed;
        }
    }
}

void QueueLines::Remove(std::size_t i)
{
    m_failed -= m_marks[i].failed;
    m_lines.erase(m_lines.begin() + std::ptrdiff_t(i));
    m_marks.erase(m_marks.begin() + std::ptrdiff_t(i));
}

void QueueLines::KeepOnly(Id id)
{
    KeepOnly(std::vector<Id> { id });
}

void QueueLines::KeepOnly(const std::vector<Id>& ids)
{
    std::vector<std::string> lines;
    std::vector<Mark> marks;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        if (std::find(ids.begin(), ids.end(), m_marks[i].id) == ids.end())
            continue;
        lines.push_back(std::move(m_lines[i]));
        marks.push_back(m_marks[i]);
        failed += m_marks[i].failed ? 1 : 0;
    }
    m_lines = std::move(lines);
    m_marks = std::move(marks);
    m_failed = failed;
}

void QueueLines::Clear()
{
    m_lines.clear();
    m_marks.clear();
    m_failed = 0;
}

// ---------------------------------------------------------------- figures

std::string HumanSize(std::int64_t bytes, bool english)
{
    if (bytes < 1024)
        return std::to_string(bytes) + (english ? " bytes" : " bayt");
    static const char* const units[] = { "KiB", "MiB", "GiB" };
    double value = double(bytes) / 1024.0;
    int unit = 0;
    // 1023.95 KiB would print as "1024.0 KiB": the next unit reads better.
    while (unit < 2 && value >= 1023.95) {
        value /= 1024.0;
        ++unit;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

namespace {

std::string Clock(double seconds)
{
    const long s = std::lround(seconds);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

} // namespace

std::string ProgressFigures(
    std::int64_t count, std::int64_t size, std::int64_t moved, std::int64_t elapsedMs, bool english)
{
    std::string text = HumanSize(count, english);
    if (size > 0)
        text += (english ? " of " : " / ") + HumanSize(size, english);
    if (elapsedMs > 0 && moved > 0) {
        const double rate = double(moved) * 1000.0 / double(elapsedMs);
        text += ", " + HumanSize(std::int64_t(rate), english) + "/s";
        if (size > count)
            text += ", " + Clock(double(size - count) / rate) + (english ? " left" : " kaldı");
    }
    return text;
}

std::string FinalFigures(std::int64_t total, std::int64_t moved, std::int64_t elapsedMs, bool english)
{
    std::string text = HumanSize(total, english);
    if (elapsedMs > 0 && moved > 0) {
        const std::string speed
            = HumanSize(std::int64_t(double(moved) * 1000.0 / double(elapsedMs)), english) + "/s";
        text += english ? ", " + speed + " average" : ", ortalama " + speed;
    }
    return text;
}

std::string SetAsideName(const std::string& path, std::time_t when)
{
    std::tm local {};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return path + ".unreadable-" + stamp;
}

bool StaysInside(const std::string& folder, const std::string& path)
{
    const bool folderAbsolute = !folder.empty() && folder.front() == '/';
    const bool pathAbsolute = !path.empty() && path.front() == '/';
    if (folderAbsolute != pathAbsolute)
        return false;
    const std::vector<std::string_view> outer = Elements(folder);
    const std::vector<std::string_view> inner = Elements(path);
    if (inner.size() < outer.size() || !std::equal(outer.begin(), outer.end(), inner.begin()))
        return false;
    // A relative folder's leading ".." elements are not a place to stay in.
    return std::find(inner.begin() + static_cast<std::ptrdiff_t>(outer.size()), inner.end(), "..")
        == inner.end();
}

bool IsValidModeText(std::string_view text)
{
    if (text.size() != 3 && text.size() != 4)
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '7'; });
}

// ---------------------------------------------------------------- queue file

QueueFile::QueueFile(std::string path, Clock clock)
    : m_path(std::move(path))
    , m_clock(std::move(clock))
{
}

std::chrono::steady_clock::time_point QueueFile::Now() const
{
    return m_clock ? m_clock() : std::chrono::steady_clock::now();
}

bool QueueFile::Load(std::vector<std::string>& lines, std::string* error)
{
    lines.clear();
    std::string bytes;
    std::string readError;
    if (!ReadWholeFile(m_path, bytes, &readError)) {
        if (FileExists(m_path)) {
            if (error)
                *error = readError;
            m_known = false;
            return false;
        }
        bytes.clear();
    }
    lines = SplitLines(bytes);
    m_saved = lines;
    m_known = true;
    m_pending = false;
    m_hasUnwritten = false;
    m_unwritten.clear();
    m_lastFlush = Now();
    return true;
}

bool QueueFile::Save(const std::vector<std::string>& lines, std::string* error)
{
    for (const std::string& line : lines) {
        if (line.find('\n') != std::string::npos) {
            if (error)
                *error = "Cannot write \"" + m_path + "\": a queue entry contains a line break";
            return false;
        }
    }
    // Finished entries dropped only (the saved lines with some taken out, in
    // order): the file still holds every entry left (and a few done), so a
    // crash costs at most a repeat of those.
    bool dropsHead = m_known && lines.size() <= m_saved.size();
    for (std::size_t at = 0, i = 0; dropsHead && i < lines.size(); ++i, ++at) {
        while (at < m_saved.size() && m_saved[at] != lines[i])
            ++at;
        dropsHead = at < m_saved.size();
    }
    const auto now = Now();
    if (dropsHead && now - m_lastWrite < std::chrono::milliseconds(250)) {
        m_unwritten = lines;
        m_hasUnwritten = lines != m_saved;
        return true;
    }
    // New or changed entries are made durable at once; dropped heads wait for
    // Flush (a disk flush right after a large transfer waits for all of it
    // to reach the disk).
    return Write(lines, !dropsHead, error);
}

bool QueueFile::WriteOut(std::string* error)
{
    if (!m_hasUnwritten)
        return true;
    std::vector<std::string> lines = std::move(m_unwritten);
    return Write(lines, false, error);
}

bool QueueFile::Write(const std::vector<std::string>& lines, bool flush, std::string* error)
{
    if (!WriteFileAtomic(
            m_path, JoinLinesCrLf(lines), kKeepMode, error, flush ? SyncMode::Now : SyncMode::Later))
        return false;
    const auto now = Now();
    m_saved = lines;
    m_known = true;
    m_hasUnwritten = false;
    m_unwritten.clear();
    m_pending = !flush;
    m_lastWrite = now;
    if (flush)
        m_lastFlush = now;
    return true;
}

bool QueueFile::Flush(std::string* error)
{
    if (m_hasUnwritten) {
        std::vector<std::string> lines = std::move(m_unwritten);
        return Write(lines, true, error);
    }
    if (!m_pending)
        return true;
    if (!SyncFile(m_path, error))
        return false;
    m_pending = false;
    m_lastFlush = Now();
    return true;
}

} // namespace app
