#include "app/core/Captions.hpp"

namespace app {
namespace {

// Table order matters: LanguageSelection assigns the rows in this order.
constexpr CaptionRow kMainCaptions[] = {
    {"mainform", "caption", "Tallowin", "Tallowin"},
    {"dirview", "column0", "Name", "İsim"},
    {"dirview", "column1", "Size", "Boyut"},
    {"dirview", "column2", "Type", "Tip"},
    {"dirview", "column3", "Last changed", "Son Değiştirilme"},
    {"Label1", "caption", "Connection Name:", "Bağlantı İsmi:"},
    {"btnPrevious", "hint", "Previous Folder", "Önceki Klasör"},
    {"btnNewFolder", "hint", "New Folder", "Yeni Klasör"},
    {"btnCopy", "hint", "Copy", "Kopyala"},
    {"btnPaste", "hint", "Paste", "Yapıştır"},
    {"btnDelete", "hint", "Delete", "Sil"},
    {"btnAddSite", "hint", "Add Site", "Site Ekle"},
    {"btnDeleteSite", "hint", "Delete Site", "Site Sil"},
    {"btnDisconnect", "hint", "Disconnect", "Bağlantı Kes"},
    {"btnConnect", "hint", "Connect", "Bağlan"},
    {"btnEditSite", "hint", "Edit Site", "Site Bilgileri"},
    {"mnu_view", "caption", "View", "Görünüm"},
    {"mnu_view_big", "caption", "Big Symbols", "Büyük Sembollar"},
    {"mnu_view_small", "caption", "Small Symbols", "Küçük Sembollar"},
    {"mnu_view_list", "caption", "List", "Liste"},
    {"mnu_view_details", "caption", "Details", "Detaylar"},
    {"Copy1", "caption", "Copy", "Kopyala"},
    {"PasteServer", "caption", "Paste", "Yapıştır"},
    {"File1", "caption", "&File", "&Dosya"},
    {"NewFolder1", "caption", "&New Folder", "&Yeni Klasör"},
    {"Options1", "caption", "&Options", "&Seçenekler"},
    {"grpSpeedLimit", "caption", "Speed limit", "Hız sınırı"},
    {"lblDownloadLimit", "caption", "Download (KiB/s, 0 = none):", "İndirme (KiB/sn, 0 = sınırsız):"},
    {"lblUploadLimit", "caption", "Upload (KiB/s, 0 = none):", "Gönderme (KiB/sn, 0 = sınırsız):"},
    {"Exit1", "caption", "Exit", "Çıkış"},
    {"Delete1", "caption", "Delete", "Sil"},
    {"View1", "caption", "&View", "&Görünüm"},
    {"Copy2", "caption", "Copy", "Kopyala"},
    {"Paste2", "caption", "Paste", "Yapıştır"},
    {"BigSymbols1", "caption", "Big Symbols", "Büyük Semboller"},
    {"SmallSymbols1", "caption", "Small Symbols", "Küçük Semboller"},
    {"List1", "caption", "List", "Liste"},
    {"Details1", "caption", "Details", "Detaylar"},
    {"About1", "caption", "&About", "&Hakkında"},
};

constexpr DialogLabel kSiteDialogLabels[] = {
    {"edtAlias", "Alias:", "Görünüm Adı:"},
    {"edtHost", "Host:", "Sunucu Adı:"},
    {"edtUser", "User Name:", "Kullanıcı Adı:"},
    {"edtPassword", "Password:", "Şifre:"},
    {"cmbProtocol", "Protocol:", "Protokol:"},
    {"edtPort", "Port:", "Kapı No:"},
    {"edtTimeOut", "Time-Out:", "Süre:"},
    {"cmbVendor", "Vendor:", "Sistem:"},
    {"cmbEncryption", "Encryption:", "Şifreleme:"},
    {"cmbListing", "Listing:", "Listeleme:"},
};

constexpr DialogLabel kAccessibleNames[] = {
    {"listbox1", "Log", "Günlük"},
    {"lbQueue", "Transfer queue", "Aktarım kuyruğu"},
    {"dirview", "Remote files", "Uzak dosyalar"},
    {"LsFilelistView281", "Local files", "Yerel dosyalar"},
    {"LsDirTreeCombo281", "Local folder", "Yerel klasör"},
    {"ComboBox1", "Connection Name", "Bağlantı İsmi"},
    {"ToolButton7", "Refresh Folder", "Klasörü Yenile"},
    {"btnQueue", "Run Queue", "Kuyruğu Çalıştır"},
    {"chkPreview", "Preview", "Önizleme"},
    {"chkStop", "Stop", "Durdur"},
    {"btnCliPrevious", "Previous Folder", "Önceki Klasör"},
    {"btnCliNewFolder", "New Folder", "Yeni Klasör"},
    {"btnCliDelete", "Delete File(s)", "Dosya(ları) Sil"},
};

struct MessagePair {
    const char* English;
    const char* Turkish;
};

// Indexed by TMessageId.
constexpr MessagePair kMessages[kMessageCount] = {
    {"Please wait while closing...", "Lütfen programın kapanmasını bekleyin..."},
    {"Trying to connect.", "Bağlanılıyor."},
    {"Disconnected", "Bağlantı Kesildi"},
    {"Disconnected.", "Bağlantı Kesildi."},
    {"Failed to connect.", "Bağlantı kurulamadı."},
    {"Download Complete", "İndirme Tamamlandı"},
    {"Not an HTTP file", "HTTP dosyası değil"},
    {"Busy: wait until the current operation ends, or press Stop.",
        "Meşgul: süren işlemin bitmesini bekleyin ya da Durdur'a basın."},
    {"Busy: this will run when the current operation ends.",
        "Meşgul: bu, süren işlem bitince yapılacak."},
    {"The transfer queue is running; try again when it has finished.",
        "Aktarım kuyruğu çalışıyor; bittiğinde yeniden deneyin."},
    {"Simultaneous transfers", "Eşzamanlı aktarımlar"},
};

} // namespace

std::span<const CaptionRow> MainCaptions() { return kMainCaptions; }

std::span<const DialogLabel> SiteDialogLabels() { return kSiteDialogLabels; }
std::span<const DialogLabel> AccessibleNames() { return kAccessibleNames; }

const char* Message(TMessageId id, bool english)
{
    if (id >= kMessageCount)
        return "";
    return english ? kMessages[id].English : kMessages[id].Turkish;
}

std::string QueueRunSummary(std::size_t transferred, std::size_t failed, bool english)
{
    return english ? std::to_string(transferred) + " files transferred, " + std::to_string(failed) + " failed"
                   : std::to_string(transferred) + " dosya aktarıldı, " + std::to_string(failed) + " başarısız";
}

const char* WarningPrefix(bool english)
{
    return english ? "Warning: " : "Uyarı: ";
}

const char* FailedEntryMark(bool english)
{
    return english ? "FAILED: " : "BAŞARISIZ: ";
}

namespace {

bool IsUtf8(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        char32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (std::size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size())
                return false;
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        if ((n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += n + 1;
    }
    return true;
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Windows-1254 bytes 0x80..0x9F; the undefined ones keep their code.
constexpr char16_t kCp1254High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x008E, 0x008F,
                                      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x009E, 0x0178};

char32_t FromCp1254(unsigned char c)
{
    if (c < 0x80)
        return c;
    if (c < 0xA0)
        return kCp1254High[c - 0x80];
    switch (c) {
    case 0xD0: return 0x011E;
    case 0xDD: return 0x0130;
    case 0xDE: return 0x015E;
    case 0xF0: return 0x011F;
    case 0xFD: return 0x0131;
    case 0xFE: return 0x015F;
    default: return c; // the rest matches Latin-1
    }
}

} // namespace

std::string DisplayText(std::string_view bytes)
{
    if (IsUtf8(bytes))
        return std::string(bytes);
    std::string out;
    for (char c : bytes)
        AppendUtf8(out, FromCp1254(static_cast<unsigned char>(c)));
    return out;
}

} // namespace app
