#include "net/WSockBuf.hpp"

#include <algorithm>
#include <cstring>

namespace net {

namespace {
constexpr int kDefaultCapacity = 1514;
}

TBuffer::TBuffer(int capacity)
{
    m_capacity = capacity > 0 ? capacity : kDefaultCapacity;
    m_data = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(m_capacity));
}

void TBuffer::SetCapacity(int capacity)
{
    if (capacity <= 0)
        capacity = kDefaultCapacity;
    if (capacity == m_capacity)
        return;
    auto fresh = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(capacity));
    // Keep the unsent bytes, moved to the front.
    int keep = std::min(m_wr - m_rd, capacity);
    if (keep > 0)
        std::memcpy(fresh.get(), m_data.get() + m_rd, static_cast<std::size_t>(keep));
    else
        keep = 0;
    m_data = std::move(fresh);
    m_capacity = capacity;
    m_rd = 0;
    m_wr = keep;
}

int TBuffer::AppendData(const void* data, int length)
{
    if (!data || length <= 0)
        return 0;
    int n = std::min(length, m_capacity - m_wr);
    if (n <= 0)
        return 0;
    std::memcpy(m_data.get() + m_wr, data, static_cast<std::size_t>(n));
    m_wr += n;
    return n;
}

const std::uint8_t* TBuffer::PeekData(int& count) const
{
    count = m_wr - m_rd;
    if (count <= 0) {
        count = 0;
        return nullptr;
    }
    return m_data.get() + m_rd;
}

int TBuffer::ConsumeData(int count)
{
    if (count <= 0)
        return 0;
    int n = std::min(count, m_wr - m_rd);
    m_rd += n;
    if (m_rd >= m_wr)
        m_rd = m_wr = 0;
    return n;
}

} // namespace net
