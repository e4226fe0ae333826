// Server certificates the user chose to trust always ("Always trust" in the
// certificate prompt): host and port -> SHA-256 fingerprint, kept in
// "trusted.txt" in the configuration folder, one "host port fingerprint" a
// line, written crash-safe with mode 0600. Not thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace app {

inline constexpr const char* kTrustStoreFileName = "trusted.txt";

enum TTrustAnswer : std::uint8_t {
    trustUnknown, // no certificate remembered for this host and port
    trustTrusted, // this very certificate was trusted
    trustChanged, // another certificate was trusted here: show it as changed
};

class TTrustStore {
public:
    explicit TTrustStore(std::string path) : m_path(std::move(path)) {}

    // A missing file is an empty store; lines that do not parse are dropped.
    bool Load(std::string* error = nullptr);
    bool Save(std::string* error = nullptr) const;

    TTrustAnswer Lookup(const std::string& host, const std::string& port, const std::string& fingerprint) const;
    // Replaces what was trusted for host and port.
    void Trust(const std::string& host, const std::string& port, const std::string& fingerprint);
    void Forget(const std::string& host, const std::string& port);
    std::size_t Count() const { return m_entries.size(); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::map<std::pair<std::string, std::string>, std::string> m_entries;
};

} // namespace app
