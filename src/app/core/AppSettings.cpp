#include "app/core/AppSettings.hpp"

namespace app {

namespace {

// The colon before an all-digit port, or npos.
std::size_t PortColon(const std::string& name)
{
    const std::size_t colon = name.rfind(':');
    const bool withPort = colon != std::string::npos && colon + 1 < name.size()
        && name.find_first_not_of("0123456789", colon + 1) == std::string::npos;
    return withPort ? colon : std::string::npos;
}

} // namespace

void AppSettings::Read(std::string* error)
{
    std::string readError;
    const Settings settings = ReadSettings(ProgramDir, &readError);
    // Writing the defaults back at the end would lose what the file holds.
    KeepSettingsFile = !readError.empty();
    if (error)
        *error = readError;
    LanguageName = settings.LanguageName;
    ProxyName = settings.ProxyName;
    Transfer.SetPassiveMode(settings.PassiveMode);
    Connections = settings.Connections;
    DownloadLimitKiB = settings.DownloadLimitKiB;
    UploadLimitKiB = settings.UploadLimitKiB;
}

bool AppSettings::Write(std::string* error) const
{
    return KeepSettingsFile
        || WriteSettings(ProgramDir,
            Settings { LanguageName, ProxyName, Transfer.PassiveMode(), DownloadLimitKiB, UploadLimitKiB, Connections },
            error);
}

std::string AppSettings::ProxyHost() const
{
    const std::size_t colon = PortColon(ProxyName);
    return colon == std::string::npos ? ProxyName : ProxyName.substr(0, colon);
}

std::string AppSettings::ProxyPort() const
{
    const std::size_t colon = PortColon(ProxyName);
    return colon == std::string::npos ? std::string("ftp") : ProxyName.substr(colon + 1);
}

} // namespace app
