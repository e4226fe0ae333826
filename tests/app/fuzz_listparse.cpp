// Reads arbitrary bytes as LIST output and checks what the window relies on:
// every row is complete or has only its name, texts have their fixed forms,
// and both sorts accept the rows.
#include "app/core/RemoteList.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool DateForm(const std::string& s)
{
    // yyyy.mm.dd hh:nn
    if (s.size() != 16)
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char want = i == 4 || i == 7 ? '.' : i == 10 ? ' ' : i == 13 ? ':' : '0';
        if (want == '0' ? (s[i] < '0' || s[i] > '9') : s[i] != want)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    int unreadable = -1;
    std::vector<app::RemoteRow> rows = app::ParseListing(text, app::CivilDate{2004, 2, 29}, &unreadable);
    int nameOnly = 0;
    for (const app::RemoteRow& row : rows) {
        if (row.name == "." || row.name.find('\n') != std::string::npos)
            __builtin_trap();
        if (row.subItems == 0) {
            if (!row.type.empty() || !row.size.empty() || !row.changed.empty() || !row.perms.empty() ||
                !row.iconKey.empty())
                __builtin_trap();
            ++nameOnly;
            continue;
        }
        if (row.subItems != 4 || (row.type != "Directory" && row.type != "File") ||
            row.image != (row.IsFolder() ? 0 : 1) || !DateForm(row.changed) || row.perms.empty())
            __builtin_trap();
        if (row.size != (row.bytes ? std::to_string(row.bytes) : std::string()))
            __builtin_trap();
        if (!row.iconKey.empty() && (row.IsFolder() || row.iconKey[0] != '.' || row.name.size() < row.iconKey.size()))
            __builtin_trap();
        const std::string command = app::CommandName(row);
        if (row.name.compare(0, command.size(), command) != 0)
            __builtin_trap();
        (void)app::IsWalkableName(command);
    }
    if (nameOnly != unreadable)
        __builtin_trap();

    // The listing order is the two stable passes of the built-in comparison.
    std::vector<app::RemoteRow> twoPass = rows;
    for (int column : {0, 2})
        std::stable_sort(twoPass.begin(), twoPass.end(), [column](const app::RemoteRow& a, const app::RemoteRow& b) {
            return app::CompareRows(a, b, column) < 0;
        });
    app::SortListing(rows);
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].name != twoPass[i].name || rows[i].perms != twoPass[i].perms)
            __builtin_trap();
    for (int column = 0; column < 5; ++column)
        std::stable_sort(rows.begin(), rows.end(), [column](const app::RemoteRow& a, const app::RemoteRow& b) {
            return app::ColumnClickLess(a, b, column, column & 1);
        });
    return 0;
}
