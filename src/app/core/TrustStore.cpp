#include "app/core/TrustStore.hpp"

#include "app/core/SafeFile.hpp"

#include <cctype>
#include <sstream>

namespace app {

namespace {

// Host names compare without case; fingerprints are kept in upper case.
std::string Folded(std::string s, bool upper)
{
    for (char& c : s)
        c = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                    : std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool Printable(const std::string& s)
{
    if (s.empty())
        return false;
    for (unsigned char c : s)
        if (c <= ' ' || c == 0x7F)
            return false;
    return true;
}

} // namespace

bool TTrustStore::Load(std::string* error)
{
    m_entries.clear();
    if (!FileExists(m_path))
        return true;
    std::vector<std::string> lines;
    if (!ReadLines(m_path, lines, error))
        return false;
    for (const auto& line : lines) {
        std::istringstream in(line);
        std::string host, port, fp, extra;
        if (in >> host >> port >> fp && !(in >> extra))
            Trust(host, port, fp);
    }
    return true;
}

bool TTrustStore::Save(std::string* error) const
{
    std::string text;
    for (const auto& [key, fp] : m_entries)
        text += key.first + " " + key.second + " " + fp + "\r\n";
    return WriteFileAtomic(m_path, text, 0600, error);
}

TTrustAnswer TTrustStore::Lookup(const std::string& host, const std::string& port,
                                 const std::string& fingerprint) const
{
    auto it = m_entries.find({Folded(host, false), port});
    if (it == m_entries.end())
        return trustUnknown;
    return it->second == Folded(fingerprint, true) ? trustTrusted : trustChanged;
}

void TTrustStore::Trust(const std::string& host, const std::string& port, const std::string& fingerprint)
{
    // A field with a blank would not read back as one.
    if (!Printable(host) || !Printable(port) || !Printable(fingerprint))
        return;
    m_entries[{Folded(host, false), port}] = Folded(fingerprint, true);
}

void TTrustStore::Forget(const std::string& host, const std::string& port)
{
    m_entries.erase({Folded(host, false), port});
}

} // namespace app
