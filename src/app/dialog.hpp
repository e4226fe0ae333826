// TdlgSite: the site dialog ("Site Properties"). One instance lives for the
// whole run, so its fields keep what they last showed. Its labels are taken
// from the language in force when it is created.
#pragma once

#include <QDialog>
#include <QLineEdit>

#include "app/core/SiteOptions.hpp"

#include <map>
#include <memory>
#include <string>

namespace Ui {
class TdlgSite;
}

namespace app {

class Prompter;

class TdlgSite : public QDialog {
    Q_OBJECT
public:
    TdlgSite(bool english, Prompter& prompter, QWidget* parent = nullptr);
    ~TdlgSite() override;

    Ui::TdlgSite& Form() { return *m_ui; }

    // OK is refused while a field holds more UTF-8 bytes than its place in
    // the site book; the field is named in a message.
    void done(int result) override;

    // Shows bytes from the site book in edit. While the field still shows
    // them, StoredBytes gives those bytes back, so text that is not UTF-8
    // (an older book's) is stored unchanged. ForgetBytes drops them all.
    void ShowBytes(QLineEdit* edit, const std::string& bytes);
    void ForgetBytes() { m_shown.clear(); }
    // What OK stores for edit: the shown bytes, or the text as UTF-8.
    std::string StoredBytes(const QLineEdit* edit) const;

    // Shows the connection options a Reserved field holds (the defaults for
    // text that is not ours). StoredReserved gives the field to store: that
    // text unchanged while the user changed no option, else the options.
    void ShowOptions(const std::string& reserved);
    SiteOptions Options() const;
    std::string StoredReserved() const;

private:
    void FormCreate(bool english);
    void ShowFtpOptionsEnabled();

    std::string m_shownReserved;
    SiteOptions m_shownOptions;
    bool m_protocolChosen = false; // the user picked a protocol since ShowOptions

    std::unique_ptr<Ui::TdlgSite> m_ui;
    Prompter& m_prompter;
    struct Shown {
        QString Text;
        std::string Bytes;
    };
    std::map<const QLineEdit*, Shown> m_shown;
};

} // namespace app
