// Server certificates that failed verification: the user decides, once or
// for good; a certificate trusted for good is remembered in "trusted.txt",
// and a different one for the same host and port is shown as changed.
#include "app/ftp_main.hpp"

#include "app/core/Paths.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/Settings.hpp"
#include "app/core/TrustStore.hpp"
#include "net/Tls.hpp"

namespace app {

void Tmainform::LoadTrustStore()
{
    m_trust = std::make_unique<TTrustStore>(JoinPath(m_settings.ProgramDir, kTrustStoreFileName));
    std::string error;
    if (!m_trust->Load(&error))
        Report(error);
}

bool Tmainform::CertificateCheck(const net::TCertInfo& info)
{
    const std::string where = info.Host + ":" + info.Port;
    const bool outOfDate = info.Has(net::kCertExpired) || info.Has(net::kCertNotYetValid);
    const TTrustAnswer known = m_trust->Lookup(info.Host, info.Port, info.Fingerprint, outOfDate);
    if (known == trustTrusted)
        return true;
    const bool english = m_settings.English();
    std::string text;
    if (known == trustChanged) {
        text = english ? "WARNING: the certificate of " + where
                + " is not the one you chose to trust. It may have been renewed, or someone may be"
                  " intercepting the connection."
                       : "UYARI: " + where
                + " sertifikası güvendiğiniz sertifika değil. Yenilenmiş olabilir ya da biri bağlantıya"
                  " girmiş olabilir.";
    } else if (known == trustExpired) {
        text = english ? "The certificate of " + where + " you chose to trust is no longer valid."
                       : where + " için güvendiğiniz sertifika artık geçerli değil.";
    } else {
        text = english ? "The certificate of " + where + " could not be verified."
                       : where + " sertifikası doğrulanamadı.";
    }
    // Every problem, so that "Always trust" is never given for one of them only.
    text += english ? "\n\nProblems:" : "\n\nSorunlar:";
    for (const std::string& problem : info.Errors.empty() ? std::vector<std::string> { info.Error } : info.Errors)
        text += "\n - " + problem;
    text += english ? "\n\nSubject: " : "\n\nKonu: ";
    text += info.Subject + (english ? "\nIssuer: " : "\nVeren: ") + info.Issuer;
    text += (english ? "\nValid from " : "\nGeçerlilik: ") + info.NotBefore + (english ? " to " : " - ") + info.NotAfter;
    text += "\nSHA-256: " + info.Fingerprint;
    const std::vector<std::string> buttons = english
        ? std::vector<std::string> { "Connect once", "Always trust", "Cancel" }
        : std::vector<std::string> { "Bir kez bağlan", "Her zaman güven", "İptal" };
    const std::size_t choice = m_prompter.Choose(text, buttons);
    if (choice >= 2) {
        AddList("The certificate of " + where + " was refused.");
        return false;
    }
    if (choice == 1) {
        // A data connection's certificate goes beside the control connection's pin.
        std::string error;
        if (!m_trust->Trust(info.Host, info.Port, info.Fingerprint, info.DataConnection))
            Report("The certificate of " + where + " could not be remembered.");
        else if (!m_trust->Save(&error))
            Report(error);
    }
    return true;
}

} // namespace app
