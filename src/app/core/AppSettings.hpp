// AppSettings: the window's typed settings, read once at start-up and kept
// here until they are written back at the end: the program folder, the
// language, the proxy, the transfer choices (passive mode, binary or ASCII),
// the upload filter of the Options dialog, and whether language.txt may be
// replaced. Owned by the main window; lives on the GUI thread.
#pragma once

#include "app/core/Settings.hpp"

#include <string>

namespace app {

struct AppSettings {
    std::string ProgramDir;   // where the program keeps its files; empty when there is none
    std::string LanguageName = kLanguageEnglish;
    std::string ProxyName;    // "host" or "host:port"; empty: direct connection
    TransferSettings Transfer;
    // Speed limits over all connections together, KiB/s; 0 none.
    int DownloadLimitKiB = 0;
    int UploadLimitKiB = 0;
    std::string UploadFilter = ".";
    int UploadType = 0;
    int Connections = kDefaultConnections; // the queue's sessions side by side
    // language.txt exists but could not be read: it is not replaced.
    bool KeepSettingsFile = false;

    bool English() const { return IsEnglish(LanguageName); }

    // Reads language.txt from ProgramDir. When it exists but cannot be read
    // the defaults stay, the file is kept, and error receives the reason.
    void Read(std::string* error);
    // Writes language, proxy, passive mode and the limits back, unless the file is kept.
    bool Write(std::string* error) const;

    // The proxy's host and port: "host:port" names a proxy that does not
    // listen on the FTP port; otherwise the whole name is the host.
    std::string ProxyHost() const;
    std::string ProxyPort() const;
};

} // namespace app
