// TdlgSite: the site dialog ("Site Properties"). One instance lives for the
// whole run, so its fields keep what they last showed. Its labels are taken
// from the language in force when it is created.
#pragma once

#include <QDialog>

#include <memory>

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

private:
    void FormCreate(bool english);

    std::unique_ptr<Ui::TdlgSite> m_ui;
    Prompter& m_prompter;
};

} // namespace app
