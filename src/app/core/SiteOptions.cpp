#include "app/core/SiteOptions.hpp"

#include <algorithm>
#include <cctype>

namespace app {

namespace {

constexpr const char* kEncryptionValues[] = { "none", "tls-if-available", "tls-required" };

} // namespace

namespace {

std::string_view Trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

void Append(std::string& text, std::string_view item)
{
    if (!text.empty())
        text += ';';
    text += item;
}

// Keys and values as a person may type them: "Encryption=TLS-Required" must
// not pass for an unknown key and leave the site in plain FTP.
bool Same(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

SiteOptions ParseSiteOptions(std::string_view reserved)
{
    SiteOptions options;
    while (!reserved.empty()) {
        const std::size_t semi = reserved.find(';');
        const std::string_view item = Trimmed(reserved.substr(0, semi));
        reserved = semi == std::string_view::npos ? std::string_view() : reserved.substr(semi + 1);
        if (item.empty())
            continue;
        const std::size_t eq = item.find('=');
        const std::string_view key = Trimmed(item.substr(0, eq));
        const std::string_view value = eq == std::string_view::npos ? std::string_view() : Trimmed(item.substr(eq + 1));
        bool known = false;
        if (eq != std::string_view::npos && Same(key, "encryption")) {
            for (int i = 0; i < 3; ++i) {
                if (Same(value, kEncryptionValues[i])) {
                    options.Encryption = TSiteEncryption(i);
                    options.EncryptionUnreadable = false;
                    options.BadEncryption.clear();
                    known = true;
                }
            }
            if (!known) {
                // Unreadable is not "none": the user meant some encryption.
                options.Encryption = seNone;
                options.EncryptionUnreadable = true;
                options.BadEncryption = std::string(value);
                continue;
            }
        } else if (eq != std::string_view::npos && Same(key, "protocol")) {
            if (Same(value, "ftp") || Same(value, "sftp")) {
                options.Sftp = Same(value, "sftp");
                options.ProtocolUnreadable = false;
                options.BadProtocol.clear();
                known = true;
            } else {
                options.Sftp = false;
                options.ProtocolUnreadable = true;
                options.BadProtocol = std::string(value);
                continue;
            }
        } else if (eq != std::string_view::npos && Same(key, "listing") && (Same(value, "list") || Same(value, "mlsd"))) {
            options.Mlsd = Same(value, "mlsd");
            known = true;
        } else if (eq != std::string_view::npos && Same(key, "utf8") && (Same(value, "yes") || Same(value, "no"))) {
            options.Utf8 = Same(value, "yes");
            known = true;
        }
        if (!known)
            Append(options.Unknown, item);
    }
    return options;
}

std::string FormatSiteOptions(const SiteOptions& options)
{
    std::string text;
    if (options.Sftp)
        Append(text, "protocol=sftp");
    else if (options.ProtocolUnreadable)
        Append(text, "protocol=" + options.BadProtocol);
    if (options.Encryption != seNone)
        Append(text, std::string("encryption=") + kEncryptionValues[options.Encryption]);
    else if (options.EncryptionUnreadable)
        Append(text, "encryption=" + options.BadEncryption);
    if (options.Mlsd)
        Append(text, "listing=mlsd");
    if (options.Utf8)
        Append(text, "utf8=yes");
    if (!options.Unknown.empty())
        Append(text, options.Unknown);
    return text;
}

const char* ProtocolCaption(bool sftp)
{
    return sftp ? "SFTP" : "FTP";
}

const char* EncryptionCaption(TSiteEncryption value, bool english)
{
    switch (value) {
    case seTlsIfAvailable:
        return english ? "Use explicit TLS if available" : "Varsa açık TLS kullan";
    case seTlsRequired:
        return english ? "Require explicit TLS" : "Açık TLS zorunlu";
    default:
        return english ? "Plain FTP" : "Düz FTP";
    }
}

const char* ListingCaption(bool mlsd, bool english)
{
    if (mlsd)
        return english ? "Use MLSD if available" : "Varsa MLSD kullan";
    return "LIST";
}

const char* Utf8Caption(bool english)
{
    return english ? "Use UTF-8 when the server offers it" : "Sunucu sunarsa UTF-8 kullan";
}

} // namespace app
