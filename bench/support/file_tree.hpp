// The benches' trees of small files: made with a repeatable content, and
// summed (file count and one hash over every relative path and content) to
// check a transferred copy byte for byte.
#pragma once

#include "ftp_peers.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace bench {

constexpr int kTreeFolders = 20;
constexpr std::uint64_t kTreeFileSize = 4096;

// files files of kTreeFileSize bytes spread over kTreeFolders folders "dNN".
inline void MakeTree(const std::filesystem::path& dir, int files)
{
    for (int i = 0; i < files; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "d%02d/f%04d.bin", i % kTreeFolders, i);
        std::filesystem::create_directories((dir / name).parent_path());
        testsupport::MakePatternFile(dir / name, kTreeFileSize, std::uint32_t(i + 1));
    }
}

struct TreeSum {
    std::size_t files = 0;
    std::string hash;
    bool operator==(const TreeSum&) const = default;
};

inline TreeSum SumOf(const std::filesystem::path& root)
{
    namespace fs = std::filesystem;
    TreeSum sum;
    std::error_code ec;
    if (!fs::is_directory(root, ec))
        return sum;
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            files.emplace_back(fs::relative(e.path(), root).string(), testsupport::Md5OfFile(e.path()));
    std::sort(files.begin(), files.end());
    std::string all;
    for (const auto& [name, md5] : files)
        all += name + '\0' + md5 + '\n';
    sum.files = files.size();
    sum.hash = testsupport::Md5OfString(all);
    return sum;
}

// The server's tree under root/"tree" and a copy of it under scratch/"src"
// to upload; returns the copy's path.
inline std::filesystem::path MakeTreeAndLocalCopy(
    const std::filesystem::path& root, const std::filesystem::path& scratch, int files)
{
    MakeTree(root / "tree", files);
    const std::filesystem::path local = scratch / "src" / "tree";
    std::filesystem::create_directories(local.parent_path());
    std::filesystem::copy(root / "tree", local, std::filesystem::copy_options::recursive);
    return local;
}

// True when tree sums to expected; otherwise says what differs on stderr.
inline bool CheckTree(const char* bench, const std::string& what, const std::filesystem::path& tree,
                      const TreeSum& expected)
{
    const TreeSum got = SumOf(tree);
    if (got == expected)
        return true;
    std::fprintf(stderr, "%s: %s: %zu files, hash %s; expected %zu, %s\n", bench, what.c_str(), got.files,
                 got.hash.c_str(), expected.files, expected.hash.c_str());
    return false;
}

} // namespace bench
