#include "net/RateLimit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace net {

namespace {

// The bucket holds at most a tenth of a second's worth: an idle spell gives
// no burst beyond that.
double Capacity(std::int64_t rate)
{
    return std::max(rate / 10.0, 4096.0);
}

} // namespace

void TRateLimit::SetRate(std::int64_t bytesPerSecond)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Refill();
    m_rate = std::max<std::int64_t>(bytesPerSecond, 0);
    m_tokens = std::min(m_tokens, m_rate > 0 ? Capacity(m_rate) : 0.0);
    m_last = Clock::now();
}

std::int64_t TRateLimit::Rate() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rate;
}

void TRateLimit::Refill()
{
    const Clock::time_point now = Clock::now();
    if (m_rate > 0) {
        const double seconds = std::chrono::duration<double>(now - m_last).count();
        m_tokens = std::min(m_tokens + seconds * static_cast<double>(m_rate), Capacity(m_rate));
    }
    m_last = now;
}

int TRateLimit::Grant(int max)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_rate <= 0)
        return max;
    Refill();
    if (m_tokens <= 0)
        return 0;
    return static_cast<int>(std::min<std::int64_t>(max, std::max<std::int64_t>(m_rate / 50, 1024)));
}

int TRateLimit::Slice(int max) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_rate <= 0)
        return max;
    return static_cast<int>(std::min<std::int64_t>(max, std::max<std::int64_t>(m_rate / 50, 1024)));
}

void TRateLimit::Consume(std::int64_t n)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_rate <= 0 || n <= 0)
        return;
    Refill();
    m_tokens -= static_cast<double>(n);
}

std::uint32_t TRateLimit::WaitMs()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_rate <= 0)
        return 0;
    Refill();
    if (m_tokens > 0)
        return 0;
    // Up to the moment the debt is paid and a byte is in the bucket.
    const double ms = (1.0 - m_tokens) * 1000.0 / static_cast<double>(m_rate);
    return static_cast<std::uint32_t>(std::min(std::ceil(ms), 60000.0));
}

} // namespace net
