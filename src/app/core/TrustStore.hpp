// Server certificates the user chose to trust always ("Always trust" in the
// certificate prompt): host and port -> SHA-256 fingerprints, kept in
// "trusted.txt" in the configuration folder, one "host port fingerprint" a
// line (host and port %-escaped where they hold blanks, control characters
// or '%'), written crash-safe with mode 0600. Not thread-safe; another
// program may share the file: Save merges this store's changes into what the
// file holds by then.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace app {

inline constexpr const char* kTrustStoreFileName = "trusted.txt";

enum TTrustAnswer : std::uint8_t {
    trustUnknown, // no certificate remembered for this host and port
    trustTrusted, // this very certificate was trusted
    trustChanged, // another certificate was trusted here: show it as changed
    trustExpired, // this very certificate was trusted, but is out of its validity now: ask again
};

class TTrustStore {
public:
    explicit TTrustStore(std::string path) : m_path(std::move(path)) {}

    // A missing file is an empty store; lines that do not parse are dropped.
    bool Load(std::string* error = nullptr);
    // Reads the file again, applies the changes made since Load or the last
    // Save, and writes the result atomically.
    bool Save(std::string* error = nullptr);

    // outOfDate: the certificate has expired or is not yet valid; a pin
    // stands for it as it was, not for ever.
    TTrustAnswer Lookup(const std::string& host, const std::string& port, const std::string& fingerprint,
                        bool outOfDate = false) const;
    // Replaces what was trusted for host and port; beside: adds to it (an
    // FTP data connection's certificate must not unseat the control
    // connection's). False, and nothing changed, for an empty host or
    // fingerprint.
    bool Trust(const std::string& host, const std::string& port, const std::string& fingerprint,
               bool beside = false);
    void Forget(const std::string& host, const std::string& port);
    std::size_t Count() const;
    const std::string& Path() const { return m_path; }

    // The port as stored: a service name ("ftp") as its number ("21").
    static std::string PortKey(const std::string& port);

private:
    using Key = std::pair<std::string, std::string>;
    using Entries = std::map<Key, std::vector<std::string>>;
    enum TChangeKind : std::uint8_t { chReplace, chAdd, chForget };
    struct Change {
        TChangeKind kind;
        Key key;
        std::string fingerprint;
    };
    static void Apply(Entries& entries, const Change& change);
    static bool Read(const std::string& path, Entries& entries, std::string* error);

    std::string m_path;
    Entries m_entries;
    std::vector<Change> m_changes;
};

} // namespace app
