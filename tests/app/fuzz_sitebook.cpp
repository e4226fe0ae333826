// Reads arbitrary bytes as a site book on disk: open (with format detection,
// conversion and leftover recovery), list, find. Checks the invariants a
// reader relies on, and that each site's connection options survive a round trip.
#include "app/core/SiteBook.hpp"
#include "app/core/SiteOptions.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// A fresh folder per input (tmpfs when there is one: the book is flushed on
// every change), removed again afterwards.
class WorkDir {
public:
    WorkDir()
    {
        std::snprintf(m_path, sizeof m_path, "%s/tallowin-fuzz-XXXXXX",
                      access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        if (!mkdtemp(m_path))
            std::abort();
    }
    ~WorkDir()
    {
        const std::string dir = m_path;
        unlink((dir + "/" + app::kSiteBookFileName).c_str());
        unlink((dir + "/" + app::kSiteBookTempFileName).c_str());
        rmdir(m_path);
    }
    std::string Path() const { return m_path; }

private:
    char m_path[64];
};

void Put(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size && std::fwrite(data, 1, size, f) != size)
        std::abort();
    std::fclose(f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const WorkDir work;
    const std::string dir = work.Path();
    const std::string book = dir + "/" + app::kSiteBookFileName;
    const std::string temp = dir + "/" + app::kSiteBookTempFileName;
    // Odd first byte: the bytes are a leftover of an interrupted conversion.
    const bool leftover = size > 0 && (data[0] & 1);
    Put(leftover ? temp : book, data, size);

    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const app::TSiteBookFormat format = app::DetectSiteBookFormat(bytes);
    if (format == app::sbfLegacy && app::ConvertLegacySiteBook(bytes).size() % app::kSiteRecordSize != 0)
        __builtin_trap();

    app::SiteBook sites;
    if (!sites.Open(dir))
        __builtin_trap(); // a writable folder always opens
    if (access(temp.c_str(), F_OK) == 0)
        __builtin_trap(); // the conversion file never outlives the start
    const std::vector<std::string> aliases = sites.Aliases();
    if (aliases.size() > sites.RecordCount())
        __builtin_trap();
    for (const std::string& alias : aliases) {
        const auto found = sites.Find(alias);
        if (!found || found->Record.Alias() != alias || alias.size() > app::SiteFieldCapacity(app::sfAlias) + 1)
            __builtin_trap();
        // The connection options read back as written, whatever the field held.
        const app::SiteOptions options = app::ParseSiteOptions(found->Record.Reserved());
        if (app::ParseSiteOptions(app::FormatSiteOptions(options)) != options)
            __builtin_trap();
    }
    (void)sites.Find("");
    (void)sites.Find("!");
    // The book as opened comes through the next start unchanged.
    sites.Close();
    FILE* f = std::fopen(book.c_str(), "rb");
    if (!f)
        __builtin_trap();
    std::string first;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
        first.append(buffer, n);
    std::fclose(f);
    if (app::DetectSiteBookFormat(first) != app::sbfCurrent)
        __builtin_trap();
    return 0;
}
