// Server time stamps: the yyyymmddhhmmss[.sss] form of MDTM and MFMT, and the
// day-count date-time (days since 1899-12-30, fraction = time of day) the
// engine keeps in RemoteFileDateTime.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ftp {

// Builds a date-time; false when the calendar rejects the parts.
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec,
                       double& result);

// Splits a date-time into its parts (milliseconds rounded).
void DecodeDateTime(double value, int& year, int& month, int& day, int& hour, int& minute,
                    int& second, int& msec);

// Reads "yyyymmddhhmmss" with an optional three-digit fraction after one
// separator in the 15th position (used when the word has 18 characters or
// more). Shorter than 14 characters, non-digits, month outside 1..12 or day
// outside 1..31 give 0; a date or time the calendar rejects gives -1.
double MdtmToDateTime(std::string_view word);

// The 14-digit "yyyymmddhhnnss" form (no fraction).
std::string DateTimeToMdtm(double value);

// Conversions to and from seconds since 1970-01-01 UTC.
double UnixToDateTime(std::int64_t seconds);
std::int64_t DateTimeToUnix(double value);

} // namespace ftp
