#include "app/core/LocalCopy.hpp"

#include <filesystem>

namespace app {

namespace fs = std::filesystem;

bool IsSameOrInside(const std::string& target, const std::string& path)
{
    std::error_code ec;
    const fs::path outer = fs::weakly_canonical(path, ec);
    if (ec)
        return false;
    const fs::path inner = fs::weakly_canonical(target, ec);
    if (ec)
        return false;
    auto o = outer.begin();
    auto i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (o->empty())
            continue; // a trailing separator
        if (i == inner.end() || *o != *i)
            return false;
    }
    return true;
}

void LocalCopy::Note(const std::string& text)
{
    if (OnNote)
        OnNote(text);
}

bool LocalCopy::MayReplace(const std::string& target)
{
    if (m_all)
        return true;
    const TAnswer answer = OnExists ? OnExists(target) : ansIgnore;
    if (answer == ansAll)
        m_all = true;
    if (answer == ansCancel)
        m_cancelled = true;
    return answer == ansOK || answer == ansAll;
}

TLocalCopyResult LocalCopy::Copy(const std::string& source, const std::string& target)
{
    if (m_cancelled)
        return lcCancelled;
    if (IsSameOrInside(target, source))
        return lcIntoItself;
    const bool ok = CopyTree(source, target);
    return m_cancelled ? lcCancelled : ok ? lcCopied : lcFailed;
}

bool LocalCopy::CopyTree(const std::string& source, const std::string& target)
{
    std::error_code ec;
    // A link is copied as the link, never followed out of where it stands.
    const fs::file_status status = fs::symlink_status(source, ec);
    if (ec || status.type() == fs::file_type::not_found) {
        Note("\"" + source + "\" is gone; it is not copied.");
        return false;
    }
    const fs::file_status there = fs::symlink_status(target, ec);
    const bool exists = !ec && there.type() != fs::file_type::not_found;
    if (fs::is_directory(status)) {
        if (exists && !fs::is_directory(there)) {
            Note("\"" + target + "\" is not a folder; \"" + source + "\" is not copied there.");
            return false;
        }
        fs::create_directories(target, ec);
        bool ok = !ec;
        if (ec)
            Note("\"" + target + "\" could not be made: " + ec.message());
        for (fs::directory_iterator it(source, ec), end; ok && !ec && it != end; it.increment(ec)) {
            if (m_cancelled)
                return false;
            const fs::path child = it->path();
            ok = CopyTree(child.string(), (fs::path(target) / child.filename()).string()) && ok;
        }
        if (ec)
            Note("\"" + source + "\" could not be read: " + ec.message());
        return ok && !ec;
    }
    if (exists) {
        if (fs::is_directory(there)) {
            Note("\"" + target + "\" is a folder; \"" + source + "\" is not copied over it.");
            return false;
        }
        if (!MayReplace(target))
            return !m_cancelled;
        // A link in the way is replaced, not written through.
        if (fs::is_symlink(there))
            fs::remove(target, ec);
    }
    if (fs::is_symlink(status)) {
        fs::remove(target, ec);
        fs::copy_symlink(source, target, ec);
    } else {
        fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec);
    }
    if (ec)
        Note("\"" + source + "\" could not be copied: " + ec.message());
    return !ec;
}

} // namespace app
