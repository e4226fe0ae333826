// A site's connection options, kept as a short key=value text in the site
// record's Reserved field: "encryption=tls-if-available;listing=mlsd;utf8=yes",
// or "protocol=sftp" for a site reached over SSH.
// Defaults are written as nothing at all, so a site nobody touched keeps an
// empty field and behaves exactly as before these options existed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace app {

enum TSiteEncryption : std::uint8_t { seNone, seTlsIfAvailable, seTlsRequired };

struct SiteOptions {
    TSiteEncryption Encryption = seNone;
    bool Mlsd = false; // "Use MLSD if available"
    bool Utf8 = false; // "Use UTF-8 when the server offers it"
    // Items this version does not read (another key, a value it does not
    // know, a note), ";"-joined as they stood: written back unchanged.
    std::string Unknown = {};
    // The encryption key was there but its value (BadEncryption, as written)
    // could not be read: the site must not fall back to plain FTP, so
    // connecting is refused until it is set.
    bool EncryptionUnreadable = false;
    std::string BadEncryption = {};
    bool Sftp = false; // "protocol=sftp"; FTP without the key
    // The same for the protocol: a value this version cannot read must not
    // be taken for FTP and be sent the password.
    bool ProtocolUnreadable = false;
    std::string BadProtocol = {};

    // The FTP options are all at their defaults.
    bool IsDefault() const { return Encryption == seNone && !Mlsd && !Utf8 && !EncryptionUnreadable; }
    bool operator==(const SiteOptions&) const = default;
};

// The options a Reserved field holds; an empty field gives the defaults.
// Blanks around items, keys and values and empty items are skipped; the
// rest of what it cannot read goes to Unknown or BadEncryption.
SiteOptions ParseSiteOptions(std::string_view reserved);

// The text for the Reserved field ("" for the defaults), Unknown after the
// keys this version writes.
std::string FormatSiteOptions(const SiteOptions& options);

// The choices of the site dialog, in the order of the enumeration.
const char* ProtocolCaption(bool sftp);
const char* EncryptionCaption(TSiteEncryption value, bool english);
const char* ListingCaption(bool mlsd, bool english);
const char* Utf8Caption(bool english);

} // namespace app
