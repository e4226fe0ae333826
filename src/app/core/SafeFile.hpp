// Whole-file reads and crash-safe whole-file writes. Every failure is
// returned as a readable text ("Cannot write \"path\": No space left on device").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// Mode value for WriteFileAtomic: keep the mode of the file being replaced,
// or use the default creation mode (0666 less the umask) for a new file.
inline constexpr int kKeepMode = -1;

// When WriteFileAtomic's result reaches the disk.
enum class SyncMode : std::uint8_t {
    Now,   // file and folder are flushed before it returns: survives a power cut
    Later, // renamed only: survives a crash of the program; SyncFile() flushes it later
};

// Replaces path with bytes so that a crash or a full disk at any moment
// leaves either the old or the new contents: a temporary file beside it is
// written, flushed to disk (SyncMode::Now) and renamed over path. mode >= 0
// sets that mode exactly (e.g. 0600). An existing file that the user may not
// write is refused, not replaced. On failure path is left as it was.
bool WriteFileAtomic(const std::string& path, std::string_view bytes, int mode = kKeepMode,
                     std::string* error = nullptr, SyncMode sync = SyncMode::Now);

// Flushes an existing file and the folder entry that names it to disk.
bool SyncFile(const std::string& path, std::string* error = nullptr);

// Reads a whole file. False (with *error) when it is missing or unreadable.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string* error = nullptr);

// Splits text into lines at CR LF or LF; a final line break does not start
// another line, so "a\r\nb\r\n" and "a\nb" are both {"a", "b"}.
std::vector<std::string> SplitLines(std::string_view text);

// ReadWholeFile + SplitLines.
bool ReadLines(const std::string& path, std::vector<std::string>& lines,
               std::string* error = nullptr);

// Joins lines, each followed by CR LF.
std::string JoinLinesCrLf(const std::vector<std::string>& lines);

// True when path exists (any kind of file).
bool FileExists(const std::string& path);

} // namespace app
