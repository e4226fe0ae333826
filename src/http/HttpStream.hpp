// Streams the HTTP client reads request bodies from and writes documents to.
// Relocations and authentication retries cut an output stream back and
// rewind an input stream, so a stream needs positions and truncation.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace http {

class TStream {
public:
    virtual ~TStream() = default;
    // Return the bytes moved; fewer than asked means end (read) or failure (write).
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Position() const = 0;
    virtual void SetPosition(std::int64_t pos) = 0;
    virtual std::int64_t Size() const = 0;
    virtual void SetSize(std::int64_t size) = 0;
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string data) : m_data(std::move(data)) {}
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Position() const override { return m_pos; }
    void SetPosition(std::int64_t pos) override;
    std::int64_t Size() const override { return static_cast<std::int64_t>(m_data.size()); }
    void SetSize(std::int64_t size) override;
    const std::string& Data() const { return m_data; }

private:
    std::string m_data;
    std::int64_t m_pos = 0;
};

// A file opened for reading, or created / opened for writing (the position
// starts at the end with fmAppend, so a resumed download continues there).
class TFileStream : public TStream {
public:
    enum TMode : std::uint8_t { fmOpenRead, fmCreate, fmAppend };
    TFileStream(const std::string& path, TMode mode); // throws std::runtime_error
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Position() const override { return m_pos; }
    void SetPosition(std::int64_t pos) override;
    std::int64_t Size() const override;
    void SetSize(std::int64_t size) override;

private:
    int m_fd = -1;
    std::int64_t m_pos = 0;
};

} // namespace http
