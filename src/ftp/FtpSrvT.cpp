#include "ftp/FtpSrvT.hpp"

#include <cmath>
#include <cstdio>

namespace ftp {

namespace {

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Days from 1970-01-01 for a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2));
}

// Days between 1899-12-30 and 1970-01-01.
constexpr std::int64_t kUnixEpochDays = 25569;

bool Digits(std::string_view s, std::size_t pos, std::size_t n, int& out)
{
    out = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

} // namespace

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec,
                       double& result)
{
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month))
        return false;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        msec < 0 || msec > 999)
        return false;
    const std::int64_t days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
        kUnixEpochDays;
    const double frac = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + msec) / 86400000.0;
    // Day counts before 1899-12-30 carry the time of day as a positive fraction
    // away from zero, as the day-count convention has it.
    result = days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
    return true;
}

void DecodeDateTime(double value, int& year, int& month, int& day, int& hour, int& minute,
                    int& second, int& msec)
{
    double whole = std::trunc(value);
    double frac = std::fabs(value - whole);
    std::int64_t ms = std::llround(frac * 86400000.0);
    std::int64_t days = static_cast<std::int64_t>(whole);
    if (ms >= 86400000) {
        ms -= 86400000;
        days += value >= 0 ? 1 : -1;
    }
    CivilFromDays(days - kUnixEpochDays, year, month, day);
    hour = static_cast<int>(ms / 3600000);
    minute = static_cast<int>(ms / 60000 % 60);
    second = static_cast<int>(ms / 1000 % 60);
    msec = static_cast<int>(ms % 1000);
}

double MdtmToDateTime(std::string_view word)
{
    if (word.size() < 14)
        return 0;
    int year, month, day, hour, minute, second, msec = 0;
    if (!Digits(word, 0, 4, year) || !Digits(word, 4, 2, month) || !Digits(word, 6, 2, day) ||
        !Digits(word, 8, 2, hour) || !Digits(word, 10, 2, minute) || !Digits(word, 12, 2, second))
        return 0;
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return 0;
    if (word.size() >= 18 && !Digits(word, 15, 3, msec))
        msec = 0;
    double result;
    if (!TryEncodeDateTime(year, month, day, hour, minute, second, msec, result))
        return -1;
    return result;
}

std::string DateTimeToMdtm(double value)
{
    int y, mo, d, h, mi, s, ms;
    DecodeDateTime(value, y, mo, d, h, mi, s, ms);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", y, mo, d, h, mi, s);
    return buf;
}

double UnixToDateTime(std::int64_t seconds)
{
    return static_cast<double>(seconds) / 86400.0 + static_cast<double>(kUnixEpochDays);
}

std::int64_t DateTimeToUnix(double value)
{
    return std::llround((value - static_cast<double>(kUnixEpochDays)) * 86400.0);
}

} // namespace ftp
