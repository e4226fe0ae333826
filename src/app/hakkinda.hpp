// TAboutBox: the about box ("About"). Its disclaimer is in the language in
// force when it is created.
#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class TAboutBox;
}

namespace app {

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    TAboutBox(bool english, QWidget* parent = nullptr);
    ~TAboutBox() override;

    Ui::TAboutBox& Form() { return *m_ui; }

private:
    std::unique_ptr<Ui::TAboutBox> m_ui;
};

} // namespace app
