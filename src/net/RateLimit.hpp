// TRateLimit: a token bucket that several connections share, so that one
// limit holds over all of them together. Each connection asks Grant before it
// reads or sends, Consumes what it moved and, when nothing was granted, waits
// WaitMs on a timer of its loop (never in a busy loop). A move may overdraw
// the bucket by one grant; the debt is paid by waiting, so the average stays
// at the rate. Safe to share between threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace net {

class TRateLimit {
public:
    explicit TRateLimit(std::int64_t bytesPerSecond = 0) { SetRate(bytesPerSecond); }

    // 0 (or less): no limit.
    void SetRate(std::int64_t bytesPerSecond);
    std::int64_t Rate() const;
    bool Limited() const { return Rate() > 0; }

    // Bytes that may move now, at most max; 0 when the bucket is empty.
    // A grant is at most a fiftieth of a second's worth (1 KiB at least),
    // so the flow stays smooth at any rate.
    int Grant(int max);
    // The largest grant, at most max (max itself without a limit).
    int Slice(int max) const;
    // n bytes moved (granted or not: bytes a closing peer left behind count too).
    void Consume(std::int64_t n);
    // Milliseconds until Grant gives something again; 0 now.
    std::uint32_t WaitMs();

private:
    using Clock = std::chrono::steady_clock;
    void Refill(); // under m_mutex

    mutable std::mutex m_mutex;
    std::int64_t m_rate = 0;
    double m_tokens = 0;
    Clock::time_point m_last = Clock::now();
};

} // namespace net
