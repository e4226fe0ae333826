// Reads arbitrary bytes as MLSD output and checks what the window relies on:
// complete rows with the LIST columns' forms, exact names, no cdir or ".".
#include "app/core/RemoteList.hpp"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    int unreadable = -1;
    const std::vector<app::RemoteRow> rows = app::ParseMlsdListing(text, &unreadable);
    if (unreadable < 0)
        __builtin_trap();
    for (const app::RemoteRow& row : rows) {
        if (row.name.empty() || row.name == "." || row.name.find('\n') != std::string::npos || !row.exactName)
            __builtin_trap();
        if (row.subItems != 4 || (row.type != "Directory" && row.type != "File") ||
            row.image != (row.IsFolder() ? 0 : 1))
            __builtin_trap();
        if (!row.changed.empty() && (row.changed.size() != 16 || row.changed[4] != '.' || row.changed[10] != ' '))
            __builtin_trap();
        if (row.size != (row.bytes ? std::to_string(row.bytes) : std::string()))
            __builtin_trap();
        if (app::CommandName(row) != row.name || text.find(row.name) == std::string_view::npos)
            __builtin_trap();
    }
    return 0;
}
