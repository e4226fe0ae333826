// One block of a socket's send queue.
#pragma once

#include <cstdint>
#include <memory>

namespace net {

// Invariant: 0 <= read count <= write count <= capacity; when everything
// stored has been consumed both counts return to 0, so the block is reused
// from its start.
class TBuffer {
public:
    explicit TBuffer(int capacity);
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    int Capacity() const { return m_capacity; }
    // <= 0 means 1514. Keeps the stored bytes that still fit.
    void SetCapacity(int capacity);
    // Copies as much as fits; returns the count copied (0 when full).
    int AppendData(const void* data, int length);
    // Unsent bytes: their address (nullptr when none) and count.
    const std::uint8_t* PeekData(int& count) const;
    // Marks up to count bytes as sent; returns how many were marked.
    int ConsumeData(int count);
    int WriteCount() const { return m_wr; }
    int ReadCount() const { return m_rd; }
    int FreeSpace() const { return m_capacity - m_wr; }
    bool Empty() const { return m_rd >= m_wr; }

private:
    std::unique_ptr<std::uint8_t[]> m_data;
    int m_capacity = 0;
    int m_wr = 0;
    int m_rd = 0;
};

} // namespace net
