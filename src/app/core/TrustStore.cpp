#include "app/core/TrustStore.hpp"

#include "app/core/SafeFile.hpp"

#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
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

// A field must read back as one word.
std::string Escaped(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c <= ' ' || c == 0x7F || c == '%') {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Unescaped(const std::string& s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

std::string TTrustStore::PortKey(const std::string& port)
{
    if (!port.empty() && std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); })) {
        const std::size_t nz = port.find_first_not_of('0');
        return nz == std::string::npos ? "0" : port.substr(nz);
    }
    if (const servent* se = ::getservbyname(port.c_str(), "tcp"))
        return std::to_string(ntohs(static_cast<std::uint16_t>(se->s_port)));
    return Folded(port, false);
}

void TTrustStore::Apply(Entries& entries, const Change& change)
{
    switch (change.kind) {
    case chForget: entries.erase(change.key); break;
    case chReplace: entries[change.key] = {change.fingerprint}; break;
    case chAdd: {
        auto& fps = entries[change.key];
        if (std::find(fps.begin(), fps.end(), change.fingerprint) == fps.end())
            fps.push_back(change.fingerprint);
        break;
    }
    }
}

bool TTrustStore::Read(const std::string& path, Entries& entries, std::string* error)
{
    entries.clear();
    if (!FileExists(path))
        return true;
    std::vector<std::string> lines;
    if (!ReadLines(path, lines, error))
        return false;
    for (const auto& line : lines) {
        std::istringstream in(line);
        std::string host, port, fp, extra;
        if (!(in >> host >> port >> fp) || (in >> extra))
            continue;
        host = Unescaped(host);
        if (host.empty())
            continue;
        Apply(entries, {chAdd, {Folded(host, false), PortKey(Unescaped(port))}, Folded(fp, true)});
    }
    return true;
}

bool TTrustStore::Load(std::string* error)
{
    m_changes.clear();
    return Read(m_path, m_entries, error);
}

bool TTrustStore::Save(std::string* error)
{
    Entries merged;
    if (!Read(m_path, merged, error))
        return false;
    for (const Change& c : m_changes)
        Apply(merged, c);
    std::string text;
    for (const auto& [key, fps] : merged)
        for (const auto& fp : fps)
            text += Escaped(key.first) + " " + Escaped(key.second) + " " + fp + "\r\n";
    if (!WriteFileAtomic(m_path, text, 0600, error))
        return false;
    m_entries = std::move(merged);
    m_changes.clear();
    return true;
}

TTrustAnswer TTrustStore::Lookup(const std::string& host, const std::string& port,
                                 const std::string& fingerprint, bool outOfDate) const
{
    auto it = m_entries.find({Folded(host, false), PortKey(port)});
    if (it == m_entries.end() || it->second.empty())
        return trustUnknown;
    const std::string fp = Folded(fingerprint, true);
    if (std::find(it->second.begin(), it->second.end(), fp) == it->second.end())
        return trustChanged;
    return outOfDate ? trustExpired : trustTrusted;
}

bool TTrustStore::Trust(const std::string& host, const std::string& port, const std::string& fingerprint,
                        bool beside)
{
    const std::string fp = Folded(fingerprint, true);
    if (host.empty() || fp.empty() || fp.find_first_of(" \t\r\n") != std::string::npos)
        return false;
    Change c{beside ? chAdd : chReplace, {Folded(host, false), PortKey(port)}, fp};
    Apply(m_entries, c);
    m_changes.push_back(std::move(c));
    return true;
}

void TTrustStore::Forget(const std::string& host, const std::string& port)
{
    Change c{chForget, {Folded(host, false), PortKey(port)}, {}};
    Apply(m_entries, c);
    m_changes.push_back(std::move(c));
}

std::size_t TTrustStore::Count() const
{
    std::size_t n = 0;
    for (const auto& [key, fps] : m_entries)
        n += fps.size();
    return n;
}

} // namespace app
