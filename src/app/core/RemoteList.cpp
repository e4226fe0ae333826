#include "app/core/RemoteList.hpp"

#include <algorithm>
#include <array>
#include <ctime>

namespace app {

namespace {

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

std::string_view TrimRight(std::string_view s)
{
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    return TrimRight(s);
}

// Digits only, no sign; false on overflow.
bool ReadNumber(std::string_view s, std::uint64_t& value)
{
    if (s.empty() || s.size() > 20)
        return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (!IsDigit(c))
            return false;
        const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}

// A number whose digits may be grouped by thousands ("1,234,567").
bool ReadGroupedNumber(std::string_view s, std::uint64_t& value)
{
    if (s.find(',') == std::string_view::npos)
        return ReadNumber(s, value);
    const std::size_t first = s.find(',');
    if (first == 0 || first > 3 || (s.size() - first) % 4 != 0)
        return false;
    std::string digits(s.substr(0, first));
    for (std::size_t i = first; i < s.size(); i += 4) {
        if (s[i] != ',')
            return false;
        digits.append(s.substr(i + 1, 3));
    }
    return ReadNumber(digits, value);
}

// "33.5k", "2M", "1.2GB", "4KiB": a size we cannot turn into bytes exactly.
bool IsSizeWithUnit(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size() && IsDigit(s[i]))
        ++i;
    if (i == 0)
        return false;
    if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
        const std::size_t start = ++i;
        while (i < s.size() && IsDigit(s[i]))
            ++i;
        if (i == start)
            return false;
    }
    const std::string_view unit = s.substr(i);
    if (unit.empty())
        return false;
    const char u = Upper(unit[0]);
    if (u == 'B')
        return unit.size() == 1;
    if (u != 'K' && u != 'M' && u != 'G' && u != 'T' && u != 'P')
        return false;
    const std::string_view tail = unit.substr(1);
    return tail.empty() || tail == "B" || tail == "b" || tail == "iB";
}

// 1..12 for "Jan".."Dec"; capitalised only, or also all capitals when loose.
int MonthNumber(std::string_view s, bool loose)
{
    if (s.size() != 3)
        return 0;
    for (int i = 0; i < 12; ++i) {
        const std::string_view m = kMonths[static_cast<std::size_t>(i)];
        if (s == m || (loose && s[0] == m[0] && s[1] == Upper(m[1]) && s[2] == Upper(m[2])))
            return i + 1;
    }
    return 0;
}

// One or two digits.
bool ReadSmall(std::string_view s, int& value)
{
    if (s.empty() || s.size() > 2 || !IsDigit(s[0]) || (s.size() == 2 && !IsDigit(s[1])))
        return false;
    value = s.size() == 1 ? s[0] - '0' : (s[0] - '0') * 10 + (s[1] - '0');
    return true;
}

bool ReadYear(std::string_view s, int& year)
{
    if (s.size() != 4 || !std::all_of(s.begin(), s.end(), IsDigit))
        return false;
    year = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 + (s[3] - '0');
    return year >= 1900 && year <= 2199;
}

// "9:47", "09:47", "09:47:13", "03:45PM": hour and minute, 24-hour.
bool ReadTime(std::string_view s, int& hour, int& minute)
{
    int ampm = 0;
    if (s.size() > 2) {
        const std::string_view suffix = s.substr(s.size() - 2);
        if (Upper(suffix[1]) == 'M' && (Upper(suffix[0]) == 'A' || Upper(suffix[0]) == 'P')) {
            ampm = Upper(suffix[0]) == 'A' ? 1 : 2;
            s.remove_suffix(2);
        }
    }
    const std::size_t colon = s.find(':');
    if (colon == std::string_view::npos || !ReadSmall(s.substr(0, colon), hour))
        return false;
    std::string_view rest = s.substr(colon + 1);
    if (rest.size() == 5 && rest[2] == ':') {
        int seconds = 0;
        if (!ReadSmall(rest.substr(3), seconds) || seconds > 60)
            return false;
        rest = rest.substr(0, 2);
    }
    if (rest.size() != 2 || !ReadSmall(rest, minute) || minute > 59)
        return false;
    if (ampm) {
        if (hour < 1 || hour > 12)
            return false;
        hour = hour % 12 + (ampm == 2 ? 12 : 0);
    }
    return hour <= 23;
}

bool ValidDay(int month, int day) { return month >= 1 && month <= 12 && day >= 1 && day <= 31; }

// "26." or "26": a day written before its month.
bool ReadDayFirst(std::string_view s, int& day)
{
    if (!s.empty() && s.back() == '.')
        s.remove_suffix(1);
    return ReadSmall(s, day) && day >= 1 && day <= 31;
}

// A month named in English or German, in any case, whole or cut short,
// with the '.' and ',' that follow it: "oct", "Juli,", "Okt.", "Jan.,", "M\xC3\xA4rz".
int MonthWord(std::string_view s)
{
    while (!s.empty() && (s.back() == '.' || s.back() == ','))
        s.remove_suffix(1);
    if (s.size() < 3 || s.size() > 9)
        return 0;
    char lower[9];
    for (std::size_t i = 0; i < s.size(); ++i)
        lower[i] = Lower(s[i]);
    const std::string_view word(lower, s.size());
    static constexpr struct {
        std::string_view name;
        int month;
    } kNames[] = {{"jan", 1}, {"january", 1}, {"januar", 1}, {"feb", 2}, {"february", 2}, {"februar", 2},
                  {"mar", 3}, {"march", 3}, {"m\xC3\xA4r", 3}, {"m\xC3\xA4rz", 3}, {"mrz", 3}, {"apr", 4},
                  {"april", 4}, {"may", 5}, {"mai", 5}, {"jun", 6}, {"june", 6}, {"juni", 6}, {"jul", 7},
                  {"july", 7}, {"juli", 7}, {"aug", 8}, {"august", 8}, {"sep", 9}, {"sept", 9},
                  {"september", 9}, {"oct", 10}, {"october", 10}, {"okt", 10}, {"oktober", 10}, {"nov", 11},
                  {"november", 11}, {"dec", 12}, {"december", 12}, {"dez", 12}, {"dezember", 12}};
    for (const auto& m : kNames)
        if (word == m.name)
            return m.month;
    return 0;
}

// "09-26": month and day without a year.
bool ReadMonthDay(std::string_view s, int& month, int& day)
{
    const std::size_t dash = s.find('-');
    return dash != std::string_view::npos && ReadSmall(s.substr(0, dash), month) &&
           ReadSmall(s.substr(dash + 1), day) && ValidDay(month, day);
}

// CJK date parts: digits and the sign of a year, month or day ("2003\xE5\xB9\xB4" 2003 years,
// "4\xE6\x9C\x88" April, "18\xE6\x97\xA5" the 18th; the Korean signs too). 'Y', 'M', 'D' or 0.
char CjkDatePart(std::string_view s, int& value)
{
    static constexpr struct {
        std::string_view sign;
        char kind;
    } kSigns[] = {{"\xE5\xB9\xB4", 'Y'}, {"\xE6\x9C\x88", 'M'}, {"\xE6\x97\xA5", 'D'},
                  {"\xEB\x85\x84", 'Y'}, {"\xEC\x9B\x94", 'M'}, {"\xEC\x9D\xBC", 'D'}};
    for (const auto& sign : kSigns) {
        if (s.size() <= sign.sign.size() || !s.ends_with(sign.sign))
            continue;
        const std::string_view digits = s.substr(0, s.size() - sign.sign.size());
        if (sign.kind == 'Y')
            return ReadYear(digits, value) ? 'Y' : 0;
        return ReadSmall(digits, value) ? sign.kind : 0;
    }
    return 0;
}

// "2002-10-08", "2002/10/08", "08-10-2002", "10/08/2002", "08.10.2002". The
// DOS form is always month first and may have a two-digit year ("01-15-04").
bool ReadNumericDate(std::string_view s, bool dos, int& year, int& month, int& day)
{
    const std::size_t a = s.find_first_of("-/.");
    if (a == std::string_view::npos)
        return false;
    const char sep = s[a];
    const std::size_t b = s.find(sep, a + 1);
    if (b == std::string_view::npos || s.find(sep, b + 1) != std::string_view::npos)
        return false;
    const std::string_view p1 = s.substr(0, a), p2 = s.substr(a + 1, b - a - 1), p3 = s.substr(b + 1);
    int x = 0, y = 0;
    if (ReadYear(p1, year)) {
        if (!ReadSmall(p2, month) || !ReadSmall(p3, day))
            return false;
    } else if (ReadSmall(p1, x) && ReadSmall(p2, y)) {
        if (ReadYear(p3, year)) {
            // Slashes are written month first, dashes and dots day first.
            const bool monthFirst = dos || sep == '/';
            month = monthFirst ? x : y;
            day = monthFirst ? y : x;
            if (month > 12 && day <= 12)
                std::swap(month, day);
        } else if (dos && p3.size() == 2 && ReadSmall(p3, year)) {
            year += year >= 70 ? 1900 : 2000;
            month = x;
            day = y;
        } else {
            return false;
        }
    } else {
        return false;
    }
    return ValidDay(month, day);
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
long DaysFromCivil(int y, int m, int d)
{
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int YearOfDays(long z)
{
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const long doe = z - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    const long m = mp + (mp < 10 ? 3 : -9);
    return static_cast<int>(yoe + era * 400 + (m <= 2));
}

void PutDigits(std::string& out, int value, int width)
{
    char buffer[8];
    for (int i = width - 1; i >= 0; --i) {
        buffer[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(buffer, static_cast<std::size_t>(width));
}

// Token starts of the fixed-position reading: token 1 is the text before the
// first space (empty when the line starts with one); each later token starts
// after the next run of non-spaces and the spaces that follow. A token past
// the end starts at the line's length.
void FixedTokenStarts(std::string_view line, std::size_t* starts, int count)
{
    const std::size_t n = line.size();
    starts[0] = 0;
    std::size_t p = line.find(' ');
    if (p == std::string_view::npos)
        p = n;
    while (p < n && line[p] == ' ')
        ++p;
    if (count > 1)
        starts[1] = p;
    for (int k = 2; k < count; ++k) {
        while (p < n && line[p] != ' ')
            ++p;
        while (p < n && line[p] == ' ')
            ++p;
        starts[k] = p;
    }
}

// [from, to) clipped to the line; empty when to <= from.
std::string_view Field(std::string_view line, std::size_t from, std::size_t to)
{
    if (to <= from || from >= line.size())
        return {};
    return line.substr(from, to - from);
}

std::string_view TokenAt(std::string_view line, std::size_t start)
{
    const std::size_t end = line.find(' ', start);
    return Field(line, start, end == std::string_view::npos ? line.size() : end);
}

void SetSize(RemoteRow& row, std::uint64_t bytes)
{
    row.bytes = bytes;
    row.size = bytes ? std::to_string(bytes) : std::string();
}

void SetType(RemoteRow& row, bool folder)
{
    row.type = folder ? kTypeDirectory : kTypeFile;
    row.image = folder ? 0 : 1;
}

std::string IconKey(const RemoteRow& row)
{
    const std::size_t dot = row.name.find('.');
    if (row.IsFolder() || dot == std::string::npos)
        return {};
    std::string key = row.name.substr(dot);
    for (char& c : key)
        c = Lower(c);
    return key;
}

int CompareText(std::string_view a, std::string_view b)
{
    const int c = a.compare(b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int CompareNoCase(std::string_view a, std::string_view b)
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] == b[i])
            continue;
        const auto x = static_cast<unsigned char>(Upper(a[i]));
        const auto y = static_cast<unsigned char>(Upper(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// The Size text as a number; text that is not one counts as 0.
std::uint64_t SizeValue(const RemoteRow& row)
{
    std::uint64_t v = 0;
    return ReadNumber(row.size, v) ? v : 0;
}

} // namespace

std::string CommandName(const RemoteRow& row)
{
    if (!row.exactName && !row.perms.empty() && row.perms[0] == 'l') {
        const std::size_t arrow = row.name.find(" -> ");
        if (arrow != std::string::npos)
            return row.name.substr(0, arrow);
    }
    return row.name;
}

bool IsWalkableName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

CivilDate Today()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

ListParser::ListParser(CivilDate today)
    : m_today(today), m_yearAgo(YearOfDays(DaysFromCivil(today.year, today.month, today.day) - 365))
{
    m_tokens.reserve(32);
}

std::string ListParser::DateText(int year, int month, int day, int hour, int minute, bool hasYear) const
{
    if (!hasYear) {
        // A year-less date is within the last year: one later than today is last year's.
        year = m_today.year;
        if (month > m_today.month || (month == m_today.month && day > m_today.day))
            year = m_yearAgo;
    }
    std::string text;
    text.reserve(16);
    PutDigits(text, year, 4);
    text += '.';
    PutDigits(text, month, 2);
    text += '.';
    PutDigits(text, day, 2);
    text += ' ';
    PutDigits(text, hour, 2);
    text += ':';
    PutDigits(text, minute, 2);
    return text;
}

// The classic reading at fixed token positions: token 5 the size, tokens 6..8
// the date ("Jan 15 10:30", "Mar  3  2001"), token 9 onwards the name. Taken
// only when every field is what it claims to be.
bool ListParser::ReadFixed(std::string_view line, RemoteRow& row) const
{
    if (line.empty() || line[0] == ' ')
        return false; // token 1 is empty: every field would be read one token early
    std::size_t t[9];
    FixedTokenStarts(line, t, 9);
    std::uint64_t bytes = 0;
    if (t[5] == 0 || !ReadNumber(TrimRight(Field(line, t[4], t[5] - 1)), bytes))
        return false;
    const std::string_view date = t[8] == 0 ? std::string_view() : Field(line, t[5], t[8] - 1);
    if (date.size() < 6 || date[3] != ' ' || !IsDigit(date[5]) || (date[4] != ' ' && !IsDigit(date[4])))
        return false;
    const int month = MonthNumber(date.substr(0, 3), false);
    const int day = (date[4] == ' ' ? 0 : (date[4] - '0') * 10) + (date[5] - '0');
    if (!ValidDay(month, day))
        return false;
    const std::string_view rest = date.substr(6);
    int year = 0, hour = 0, minute = 0;
    bool hasYear = false;
    if (rest.find(':') != std::string_view::npos) {
        if (rest.size() != 6 || rest[0] != ' ' || rest[3] != ':' || !ReadTime(rest.substr(1), hour, minute))
            return false;
    } else {
        if (rest.empty() || rest[0] != ' ' || !ReadYear(Trim(rest), year))
            return false;
        hasYear = true;
    }
    row.name.assign(line.substr(t[8]));
    SetSize(row, bytes);
    SetType(row, line[0] == 'd');
    row.changed = DateText(year, month, day, hour, minute, hasYear);
    row.perms.assign(TokenAt(line, 0));
    return true;
}

// The reading by structure: permissions first, then the date wherever it
// stands, the size just before it and the rest of the line as the name.
bool ListParser::ReadStructure(std::string_view line, RemoteRow& row)
{
    m_tokens.clear();
    for (std::size_t p = 0; p < line.size() && m_tokens.size() < 64;) {
        while (p < line.size() && line[p] == ' ')
            ++p;
        if (p == line.size())
            break;
        const std::size_t begin = p;
        while (p < line.size() && line[p] != ' ')
            ++p;
        m_tokens.push_back({begin, p});
    }
    const std::size_t n = m_tokens.size();
    auto tok = [&](std::size_t i) {
        return line.substr(m_tokens[i].begin, m_tokens[i].end - m_tokens[i].begin);
    };
    if (n < 3)
        return false;
    // "d [RWCEAFMS]": a one-letter type with the rights in brackets.
    std::size_t permsEnd = 1;
    if (tok(0).size() == 1 && tok(1).front() == '[')
        permsEnd = 2;

    for (std::size_t i = permsEnd + 1; i + 1 < n; ++i) {
        int year = 0, month = 0, day = 0, hour = 0, minute = 0;
        bool hasYear = false;
        std::size_t next = i; // first token after the date
        // A time or year that would leave no name is the name.
        auto optionalTime = [&](std::size_t at) {
            if (at + 1 < n && ReadTime(tok(at), hour, minute))
                return at + 1;
            return at;
        };
        if ((month = MonthNumber(tok(i), true)) != 0) {
            std::string_view d = tok(i + 1);
            if (d.back() == ',')
                d.remove_suffix(1);
            if (!ReadSmall(d, day) || !ValidDay(month, day) || i + 2 >= n)
                continue;
            std::string_view third = tok(i + 2);
            if (ReadTime(third, hour, minute)) {
                next = i + 3;
            } else {
                if (third.back() == ',')
                    third.remove_suffix(1);
                if (!ReadYear(third, year))
                    continue;
                hasYear = true;
                next = optionalTime(i + 3);
            }
        } else if (ReadNumericDate(tok(i), false, year, month, day)) {
            hasYear = true;
            next = optionalTime(i + 1);
        } else if (!ReadDate(line, i, year, month, day, hour, minute, hasYear, next)) {
            continue;
        }
        if (next >= n)
            continue;
        const std::string_view sizeText = tok(i - 1);
        std::uint64_t bytes = 0;
        if (!ReadGroupedNumber(sizeText, bytes) && !IsSizeWithUnit(sizeText))
            continue;
        // Leading blanks are column padding (aligned listings), as at fixed positions.
        row.name.assign(line.substr(m_tokens[next].begin));
        SetSize(row, bytes);
        const std::string_view perms = line.substr(m_tokens[0].begin, m_tokens[permsEnd - 1].end - m_tokens[0].begin);
        SetType(row, perms[0] == 'd');
        row.changed = DateText(year, month, day, hour, minute, hasYear);
        row.perms.assign(perms);
        return true;
    }
    return false;
}

// The date forms of servers that write it their own way, at token i:
// day first ("26. Juli, 20:10", "2. Okt. 2003", "01 oct 2004"), numbers only
// ("3 29 03:26", "09-26 2000", "09-26 13:45") and CJK ("4\xE6\x9C\x88 18\xE6\x97\xA5 2003\xE5\xB9\xB4",
// "2005\xEB\x85\x84 1\xEC\x9B\x94 6\xEC\x9D\xBC"). Each ends with a time or a year; next is the
// first token after the date.
bool ListParser::ReadDate(std::string_view line, std::size_t i, int& year, int& month, int& day, int& hour,
                          int& minute, bool& hasYear, std::size_t& next) const
{
    const std::size_t n = m_tokens.size();
    auto tok = [&](std::size_t k) {
        return k < n ? line.substr(m_tokens[k].begin, m_tokens[k].end - m_tokens[k].begin) : std::string_view();
    };
    // A time or a year at token k ends the date; a year may be followed by a time.
    auto timeOrYear = [&](std::size_t k) {
        std::string_view t = tok(k);
        if (!t.empty() && t.back() == ',')
            t.remove_suffix(1);
        int cjkYear = 0;
        if (ReadTime(t, hour, minute)) {
            next = k + 1;
        } else if (ReadYear(t, year) || (CjkDatePart(t, cjkYear) == 'Y' && (year = cjkYear) != 0)) {
            hasYear = true;
            next = k + 1 < n && k + 2 < n && ReadTime(tok(k + 1), hour, minute) ? k + 2 : k + 1;
        } else {
            return false;
        }
        return true;
    };
    int value = 0;
    if (ReadDayFirst(tok(i), day) && (month = MonthWord(tok(i + 1))) != 0)
        return ValidDay(month, day) && timeOrYear(i + 2);
    if (ReadSmall(tok(i), month) && ReadSmall(tok(i + 1), day) && ValidDay(month, day))
        return timeOrYear(i + 2);
    if (ReadMonthDay(tok(i), month, day))
        return timeOrYear(i + 1);
    const char first = CjkDatePart(tok(i), value);
    if (first == 'M') {
        month = value;
        return CjkDatePart(tok(i + 1), day) == 'D' && ValidDay(month, day) && timeOrYear(i + 2);
    }
    if (first == 'Y') {
        year = value;
        if (CjkDatePart(tok(i + 1), month) != 'M' || CjkDatePart(tok(i + 2), day) != 'D' || !ValidDay(month, day))
            return false;
        hasYear = true;
        next = i + 4 < n && ReadTime(tok(i + 3), hour, minute) ? i + 4 : i + 3;
        return true;
    }
    return false;
}

// "01-15-04  03:45PM       <DIR>          Sub Dir" or with a size instead of
// <DIR> ("1,234" allowed); the date token stands in the Permissions column.
bool ListParser::ReadDos(std::string_view line, RemoteRow& row) const
{
    std::size_t t[4];
    FixedTokenStarts(line, t, 4);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    if (!ReadNumericDate(TokenAt(line, 0), true, year, month, day) || !ReadTime(TokenAt(line, t[1]), hour, minute))
        return false;
    const bool folder = Field(line, t[2], t[2] + 5) == "<DIR>";
    std::uint64_t bytes = 0;
    if (!folder && !ReadGroupedNumber(TokenAt(line, t[2]), bytes))
        return false;
    row.name.assign(line.substr(t[3]));
    SetSize(row, bytes);
    SetType(row, folder);
    row.changed = DateText(year, month, day, hour, minute, true);
    row.perms.assign(TokenAt(line, 0));
    return true;
}

std::optional<RemoteRow> ListParser::ParseLine(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.starts_with("total"))
        return std::nullopt;
    RemoteRow row;
    const bool accepted = (line.size() >= 2 && std::string_view("-drwx").find(line[1]) != std::string_view::npos) ||
                          (!line.empty() && IsDigit(line[0]));
    if (!accepted) {
        // Other permission forms ("d [R----F--]", more leading blanks) count
        // only when the whole line reads as an entry.
        const std::size_t first = line.find_first_not_of(' ');
        if (m_dos || first == std::string_view::npos || (line[first] != 'd' && line[first] != '-') ||
            !ReadStructure(line, row) || row.name == ".")
            return std::nullopt;
        row.subItems = 4;
        row.iconKey = IconKey(row);
        return row;
    }
    if (IsDigit(line[0]))
        m_dos = true;
    // A UNIX line in a DOS listing is still read as one.
    const bool dosLine = m_dos && IsDigit(line[0]);
    const bool read = dosLine ? ReadDos(line, row) : (ReadFixed(line, row) || ReadStructure(line, row));
    if (!read) {
        // Only the name, at its fixed position.
        std::size_t t[9];
        FixedTokenStarts(line, t, 9);
        row = RemoteRow();
        row.name.assign(line.substr(dosLine ? t[3] : t[8]));
        if (row.name == ".")
            return std::nullopt;
        ++m_unreadable;
        return row;
    }
    if (row.name == ".")
        return std::nullopt;
    row.subItems = 4;
    row.iconKey = IconKey(row);
    return row;
}

std::vector<RemoteRow> ParseListing(std::string_view text, CivilDate today, int* unreadable)
{
    std::vector<RemoteRow> rows;
    rows.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    ListParser parser(today);
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        const std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        if (auto row = parser.ParseLine(line))
            rows.push_back(std::move(*row));
    }
    if (unreadable)
        *unreadable = parser.Unreadable();
    return rows;
}

namespace {

bool SameNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

// "20240131235959" or with fractions ("...59.123"), UTC, to local
// "yyyy.mm.dd hh:nn"; "" when it is not such a time.
std::string MlsdTime(std::string_view v)
{
    if (v.size() > 14 && v[14] == '.')
        v = v.substr(0, 14);
    if (v.size() != 14 || !std::all_of(v.begin(), v.end(), IsDigit))
        return {};
    auto num = [&](std::size_t at, std::size_t n) {
        int x = 0;
        for (std::size_t k = at; k < at + n; ++k)
            x = x * 10 + (v[k] - '0');
        return x;
    };
    std::tm utc{};
    utc.tm_year = num(0, 4) - 1900;
    utc.tm_mon = num(4, 2) - 1;
    utc.tm_mday = num(6, 2);
    utc.tm_hour = num(8, 2);
    utc.tm_min = num(10, 2);
    utc.tm_sec = num(12, 2);
    if (utc.tm_year < 0 || utc.tm_mon < 0 || utc.tm_mon > 11 || utc.tm_mday < 1 || utc.tm_mday > 31 ||
        utc.tm_hour > 23 || utc.tm_min > 59 || utc.tm_sec > 60)
        return {};
    const std::time_t t = timegm(&utc);
    std::tm local{};
    if (!localtime_r(&t, &local) || local.tm_year + 1900 > 9999)
        return {};
    std::string text;
    text.reserve(16);
    PutDigits(text, local.tm_year + 1900, 4);
    text += '.';
    PutDigits(text, local.tm_mon + 1, 2);
    text += '.';
    PutDigits(text, local.tm_mday, 2);
    text += ' ';
    PutDigits(text, local.tm_hour, 2);
    text += ':';
    PutDigits(text, local.tm_min, 2);
    return text;
}

// unix.mode "0755" (octal, up to the special bits) as "rwxr-xr-x" behind
// the type letter; "" when it is not octal.
std::string MlsdMode(std::string_view v, char kind)
{
    if (v.empty() || v.size() > 7)
        return {};
    unsigned mode = 0;
    for (char c : v) {
        if (c < '0' || c > '7')
            return {};
        mode = mode * 8 + static_cast<unsigned>(c - '0');
    }
    return PermissionsText(kind, mode);
}

enum MlsdKind { mlsdFile, mlsdDir, mlsdCdir, mlsdPdir, mlsdLink };

MlsdKind MlsdType(std::string_view v)
{
    if (SameNoCase(v, "dir"))
        return mlsdDir;
    if (SameNoCase(v, "cdir"))
        return mlsdCdir;
    if (SameNoCase(v, "pdir"))
        return mlsdPdir;
    std::string lower(v.substr(0, 16));
    for (char& c : lower)
        c = Lower(c);
    if (lower.starts_with("os.unix=slink") || lower.starts_with("os.unix=symlink"))
        return mlsdLink;
    return mlsdFile;
}

enum MlsdOutcome { mlsdRow, mlsdSkipped, mlsdUnreadable };

MlsdOutcome ReadMlsd(std::string_view line, RemoteRow& row)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::string_view facts;
    std::size_t sep = line.find("; ");
    if (!line.empty() && line[0] == ' ') {
        row.name.assign(line.substr(1));
    } else if (sep != std::string_view::npos) {
        facts = line.substr(0, sep + 1);
        row.name.assign(line.substr(sep + 2));
    } else {
        return mlsdUnreadable;
    }
    if (row.name.empty())
        return mlsdUnreadable;
    MlsdKind kind = mlsdFile;
    std::string_view mode, perm, modify;
    std::uint64_t bytes = 0;
    while (!facts.empty()) {
        const std::size_t semi = facts.find(';');
        const std::string_view fact = facts.substr(0, semi);
        facts.remove_prefix(semi == std::string_view::npos ? facts.size() : semi + 1);
        const std::size_t eq = fact.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key = fact.substr(0, eq), value = fact.substr(eq + 1);
        if (SameNoCase(key, "type"))
            kind = MlsdType(value);
        else if (SameNoCase(key, "size") || SameNoCase(key, "sizd"))
            ReadNumber(value, bytes);
        else if (SameNoCase(key, "modify"))
            modify = value;
        else if (SameNoCase(key, "unix.mode"))
            mode = value;
        else if (SameNoCase(key, "perm"))
            perm = value;
    }
    if (kind == mlsdCdir || row.name == "." || (kind == mlsdPdir && row.name != ".."))
        return mlsdSkipped;
    const bool folder = kind == mlsdDir || kind == mlsdPdir;
    SetSize(row, bytes);
    SetType(row, folder);
    row.changed = MlsdTime(modify);
    row.perms = MlsdMode(mode, folder ? 'd' : kind == mlsdLink ? 'l' : '-');
    if (row.perms.empty())
        row.perms.assign(perm);
    row.exactName = true;
    row.subItems = 4;
    row.iconKey = IconKey(row);
    return mlsdRow;
}

} // namespace

std::optional<RemoteRow> ParseMlsdLine(std::string_view line)
{
    RemoteRow row;
    if (ReadMlsd(line, row) != mlsdRow)
        return std::nullopt;
    return row;
}

std::vector<RemoteRow> ParseMlsdListing(std::string_view text, int* unreadable)
{
    std::vector<RemoteRow> rows;
    int bad = 0;
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        RemoteRow row;
        const MlsdOutcome outcome = ReadMlsd(line, row);
        if (outcome == mlsdRow)
            rows.push_back(std::move(row));
        else if (outcome == mlsdUnreadable)
            ++bad;
    }
    if (unreadable)
        *unreadable = bad;
    return rows;
}

int CompareRows(const RemoteRow& a, const RemoteRow& b, int column)
{
    if (column < 0)
        return -CompareRows(a, b, -column);
    switch (column) {
    case 0:
        return CompareNoCase(a.name, b.name);
    case 1: {
        const std::uint64_t x = SizeValue(a), y = SizeValue(b);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    case 2:
        return CompareText(a.type, b.type);
    case 3:
        return CompareText(a.changed, b.changed);
    default:
        return 0;
    }
}

void SortListing(std::vector<RemoteRow>& rows)
{
    // A stable sort by name followed by a stable sort by type is one stable
    // sort by (type, name). Sorting small keys spares moving the rows around.
    struct Key {
        int typeRank; // the parser's three types in ordinal order, then any other text
        std::string_view type;
        std::string_view name;
        std::uint32_t index;
    };
    auto rank = [](std::string_view type) {
        return type.empty() ? 0 : type == kTypeDirectory ? 1 : type == kTypeFile ? 2 : 3;
    };
    std::vector<Key> keys;
    keys.reserve(rows.size());
    for (std::uint32_t i = 0; i < rows.size(); ++i)
        keys.push_back({rank(rows[i].type), rows[i].type, rows[i].name, i});
    std::stable_sort(keys.begin(), keys.end(), [](const Key& x, const Key& y) {
        const int byType = x.typeRank == 3 || y.typeRank == 3 ? CompareText(x.type, y.type) : x.typeRank - y.typeRank;
        return byType != 0 ? byType < 0 : CompareNoCase(x.name, y.name) < 0;
    });
    std::vector<RemoteRow> sorted;
    sorted.reserve(rows.size());
    for (const Key& k : keys)
        sorted.push_back(std::move(rows[k.index]));
    rows = std::move(sorted);
}

bool ColumnClickLess(const RemoteRow& a, const RemoteRow& b, int column, int direction)
{
    int c = 0;
    switch (column) {
    case 0:
        c = CompareNoCase(a.name, b.name);
        break;
    case 1:
        c = -CompareRows(a, b, 1); // the larger size first
        break;
    case 2:
        c = CompareNoCase(a.type, b.type);
        break;
    case 3:
        c = CompareNoCase(a.changed, b.changed);
        break;
    case 4:
        c = CompareNoCase(a.perms, b.perms);
        break;
    default:
        return false;
    }
    return direction == 1 ? c < 0 : c > 0;
}

std::string PermissionsText(char kind, unsigned mode)
{
    std::string p(10, '-');
    p[0] = kind;
    const char* rwx = "rwxrwxrwx";
    for (int k = 0; k < 9; ++k)
        if (mode & (0400u >> k))
            p[static_cast<std::size_t>(k) + 1] = rwx[k];
    if (mode & 04000)
        p[3] = p[3] == 'x' ? 's' : 'S';
    if (mode & 02000)
        p[6] = p[6] == 'x' ? 's' : 'S';
    if (mode & 01000)
        p[9] = p[9] == 'x' ? 't' : 'T';
    return p;
}

} // namespace app
