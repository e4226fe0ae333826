#include "app/core/SiteOptions.hpp"

namespace app {

namespace {

constexpr const char* kEncryptionValues[] = { "none", "tls-if-available", "tls-required" };

} // namespace

std::optional<SiteOptions> ParseSiteOptions(std::string_view reserved)
{
    SiteOptions options;
    while (!reserved.empty()) {
        const std::size_t semi = reserved.find(';');
        const std::string_view item = reserved.substr(0, semi);
        reserved = semi == std::string_view::npos ? std::string_view() : reserved.substr(semi + 1);
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            return std::nullopt;
        const std::string_view key = item.substr(0, eq), value = item.substr(eq + 1);
        bool known = false;
        if (key == "encryption") {
            for (int i = 0; i < 3; ++i) {
                if (value == kEncryptionValues[i]) {
                    options.Encryption = TSiteEncryption(i);
                    known = true;
                }
            }
        } else if (key == "listing" && (value == "list" || value == "mlsd")) {
            options.Mlsd = value == "mlsd";
            known = true;
        } else if (key == "utf8" && (value == "yes" || value == "no")) {
            options.Utf8 = value == "yes";
            known = true;
        }
        if (!known)
            return std::nullopt;
    }
    return options;
}

std::string FormatSiteOptions(const SiteOptions& options)
{
    std::string text;
    const auto add = [&text](const std::string& item) { text += (text.empty() ? "" : ";") + item; };
    if (options.Encryption != seNone)
        add(std::string("encryption=") + kEncryptionValues[options.Encryption]);
    if (options.Mlsd)
        add("listing=mlsd");
    if (options.Utf8)
        add("utf8=yes");
    return text;
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
