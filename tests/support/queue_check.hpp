// What the kill tests check of a queue file and a tree: shared by the
// window's and the queue's own. Header-only: the tests that include it link
// the application core already.
#pragma once

#include "app/core/Queue.hpp"
#include "ftp_peers.hpp"
#include "peer.hpp"

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

inline std::map<std::string, std::string> Tree(const std::filesystem::path& root)
{
    std::map<std::string, std::string> tree;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        tree[std::filesystem::relative(e.path(), root).string()] = e.is_directory() ? "dir" : Md5OfFile(e.path());
    return tree;
}

// The queue file against the original lines: whole CR LF lines, the
// original's in its order with some taken out (`remaining` or fewer), and
// every line that left it done on the server. Returns what is wrong, empty when nothing is; *remaining is updated.
inline std::string CheckQueueFile(const std::filesystem::path& file, const std::vector<std::string>& original,
    std::size_t* remaining, const std::filesystem::path& local, const std::filesystem::path& remote)
{
    if (!std::filesystem::exists(file))
        return "the queue file is missing";
    const std::string bytes = testsupport::ReadFile(file);
    if (!bytes.empty() && !bytes.ends_with("\r\n"))
        return "the queue file ends in a partial line: ..."
            + bytes.substr(bytes.size() - std::min<std::size_t>(bytes.size(), 80));
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = bytes.find("\r\n", at);
        lines.push_back(bytes.substr(at, end - at));
        at = end + 2;
    }
    if (lines.size() > *remaining)
        return "the queue grew from " + std::to_string(*remaining) + " to " + std::to_string(lines.size())
            + " lines";
    // Several connections finish entries out of order: what is left is the
    // original with some entries taken out, each of them done on the server.
    std::vector<std::size_t> gone;
    std::size_t next = 0;
    for (std::size_t i = 0; i < original.size(); ++i) {
        if (next < lines.size() && lines[next] == original[i])
            ++next;
        else
            gone.push_back(i);
    }
    if (next != lines.size())
        return "line " + std::to_string(next) + " (\"" + lines[next] + "\") is not in the original order";
    *remaining = lines.size();
    for (std::size_t i : gone) {
        const app::QueueEntry e = app::SplitQueueLine(original[i]);
        const std::filesystem::path there = remote / e.Remote.substr(e.Remote.find_first_not_of('/'));
        const std::filesystem::path here = std::filesystem::path(e.Local).is_absolute() ? std::filesystem::path(e.Local) : local / e.Local;
        const bool ok = std::filesystem::is_directory(here)
            ? std::filesystem::is_directory(there)
            : std::filesystem::is_regular_file(there) && Md5OfFile(there) == Md5OfFile(here);
        if (!ok)
            return "\"" + original[i] + "\" left the queue but is not done on the server";
    }
    return {};
}

} // namespace testsupport
