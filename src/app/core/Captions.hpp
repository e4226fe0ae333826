// The texts of the two languages, as data. All texts are UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace app {

// One row of the main window's caption table. Component is the control's
// objectName ("mainform" for the window itself); Property is "caption" or
// "hint", and for the columns of dirview it is "column0" .. "column3"
// (Component "dirview").
struct CaptionRow {
    const char* Component;
    const char* Property;
    const char* English;
    const char* Turkish;
};

// The rows in table order; applying them in order is LanguageSelection.
std::span<const CaptionRow> MainCaptions();

// The labels of the site dialog. Control names the field the label belongs
// to (edtAlias ... cmbVendor); the dialog copies them when it is created.
struct DialogLabel {
    const char* Control;
    const char* English;
    const char* Turkish;
};
std::span<const DialogLabel> SiteDialogLabels();

// Names that screen readers and desktop automation read for controls that
// show no text of their own (Control is the objectName). Icon-only buttons
// whose hint is in the caption table take that hint instead.
std::span<const DialogLabel> AccessibleNames();

inline const char* Text(const CaptionRow& row, bool english) { return english ? row.English : row.Turkish; }
inline const char* Text(const DialogLabel& row, bool english) { return english ? row.English : row.Turkish; }

// The run-time messages that exist in both languages, chosen when shown.
enum TMessageId : std::uint8_t {
    msgClosing,            // status while the main window closes
    msgTryingToConnect,    // status on connect
    msgDisconnectedNote,   // log note when the session closed
    msgDisconnectedStatus, // status when the session closed
    msgFailedToConnect,    // status: remote listing without a connection
    msgDownloadComplete,   // status: HTTP download finished
    msgNotHttpFile,        // status: pasted text is not an HTTP address
    msgBusyRefused,        // status: an action refused while another runs
    msgBusyDeferred,       // status: an action put off until the running one ends
    msgQueueRunning,       // status: a scratch copy refused while the queue runs
    msgConnections         // Options: the label of the number of connections
};
inline constexpr int kMessageCount = 11;

const char* Message(TMessageId id, bool english);

// The end of a queue run: "N files transferred, M failed" in either language.
std::string QueueRunSummary(std::size_t transferred, std::size_t failed, bool english);
// What a warning box's text starts with.
const char* WarningPrefix(bool english);
// What the queue window puts before an entry whose last run failed.
const char* FailedEntryMark(bool english);

// Texts of the site dialog that are not translated.
inline constexpr const char* kSiteDialogCaption = "Site Properties";
inline constexpr const char* kDefaultDirLabel = "Default Dir:";
inline constexpr const char* kAliasHint = "The name which will be displayed on combobox";
inline constexpr const char* kDefaultDirHint = "Type default directory for this site";
inline constexpr const char* kDefaultPort = "21";
inline constexpr const char* kDefaultTimeOut = "20000";
inline constexpr const char* kVendors[] = {"AUTO", "UNIX", "WINDOWS", ""};

// English-only messages of the site book commands.
inline constexpr const char* kMsgEnterAliasAndHost =
    "Please enter alias and hostname. Alias can be any name you want. It is used for reference.";
inline constexpr const char* kMsgNoSiteDefined = "No site is defined. Please click add site to define it.";

// The on-screen form of stored bytes: UTF-8 as it is; anything else is read
// as Windows-1254 (the Turkish code page older books were written in).
std::string DisplayText(std::string_view bytes);

} // namespace app
