// A site's connection options, kept as a short key=value text in the site
// record's Reserved field: "encryption=tls-if-available;listing=mlsd;utf8=yes".
// Defaults are written as nothing at all, so a site nobody touched keeps an
// empty field and behaves exactly as before these options existed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace app {

enum TSiteEncryption : std::uint8_t { seNone, seTlsIfAvailable, seTlsRequired };

struct SiteOptions {
    TSiteEncryption Encryption = seNone;
    bool Mlsd = false; // "Use MLSD if available"
    bool Utf8 = false; // "Use UTF-8 when the server offers it"

    bool IsDefault() const { return Encryption == seNone && !Mlsd && !Utf8; }
    bool operator==(const SiteOptions&) const = default;
};

// The options a Reserved field holds; an empty field gives the defaults.
// nullopt when the field holds anything else (left alone by the program).
std::optional<SiteOptions> ParseSiteOptions(std::string_view reserved);

// The text for the Reserved field; "" for the defaults.
std::string FormatSiteOptions(const SiteOptions& options);

// The choices of the site dialog, in the order of the enumeration.
const char* EncryptionCaption(TSiteEncryption value, bool english);
const char* ListingCaption(bool mlsd, bool english);
const char* Utf8Caption(bool english);

} // namespace app
