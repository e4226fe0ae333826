#include "http/HttpStream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace http {

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count)
{
    std::int64_t n = std::min(count, Size() - m_pos);
    if (n <= 0)
        return 0;
    std::memcpy(buffer, m_data.data() + m_pos, static_cast<std::size_t>(n));
    m_pos += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count)
{
    if (count <= 0)
        return 0;
    if (m_pos + count > Size())
        m_data.resize(static_cast<std::size_t>(m_pos + count));
    std::memcpy(m_data.data() + m_pos, buffer, static_cast<std::size_t>(count));
    m_pos += count;
    return count;
}

void TMemoryStream::SetPosition(std::int64_t pos) { m_pos = pos < 0 ? 0 : pos; }

void TMemoryStream::SetSize(std::int64_t size)
{
    m_data.resize(static_cast<std::size_t>(size < 0 ? 0 : size));
    if (m_pos > Size())
        m_pos = Size();
}

TFileStream::TFileStream(const std::string& path, TMode mode)
{
    int flags = mode == fmOpenRead ? O_RDONLY : (O_RDWR | O_CREAT | (mode == fmCreate ? O_TRUNC : 0));
    m_fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (m_fd < 0)
        throw std::runtime_error("Cannot open file \"" + path + "\": " + std::strerror(errno));
    if (mode == fmAppend)
        m_pos = Size();
}

TFileStream::~TFileStream()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

namespace {

// Repeats a positioned read or write until count bytes, the end or an error.
template <typename Io>
std::int64_t TransferAll(std::int64_t count, std::int64_t& pos, Io io)
{
    std::int64_t done = 0;
    while (done < count) {
        ssize_t n = io(done, static_cast<std::size_t>(count - done), pos);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
        pos += n;
    }
    return done;
}

} // namespace

std::int64_t TFileStream::Read(void* buffer, std::int64_t count)
{
    return TransferAll(count, m_pos, [&](std::int64_t done, std::size_t len, std::int64_t at) {
        return ::pread(m_fd, static_cast<char*>(buffer) + done, len, at);
    });
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count)
{
    return TransferAll(count, m_pos, [&](std::int64_t done, std::size_t len, std::int64_t at) {
        return ::pwrite(m_fd, static_cast<const char*>(buffer) + done, len, at);
    });
}

void TFileStream::SetPosition(std::int64_t pos) { m_pos = pos < 0 ? 0 : pos; }

std::int64_t TFileStream::Size() const
{
    struct stat st {};
    return ::fstat(m_fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

void TFileStream::SetSize(std::int64_t size)
{
    if (::ftruncate(m_fd, size < 0 ? 0 : size) != 0)
        throw std::runtime_error(std::string("Cannot set the file size: ") + std::strerror(errno));
}

} // namespace http
