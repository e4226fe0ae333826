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
    {"edtPort", "Port:", "Kapı No:"},
    {"edtTimeOut", "Time-Out:", "Süre:"},
    {"cmbVendor", "Vendor:", "Sistem:"},
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
};

} // namespace

std::span<const CaptionRow> MainCaptions() { return kMainCaptions; }

std::span<const DialogLabel> SiteDialogLabels() { return kSiteDialogLabels; }

const char* Message(TMessageId id, bool english)
{
    if (id >= kMessageCount)
        return "";
    return english ? kMessages[id].English : kMessages[id].Turkish;
}

} // namespace app
