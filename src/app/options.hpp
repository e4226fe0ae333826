// TPagesDlg: the options dialog ("Options"), one instance for the whole run.
#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class TPagesDlg;
}

namespace app {

class TPagesDlg : public QDialog {
    Q_OBJECT
public:
    explicit TPagesDlg(QWidget* parent = nullptr);
    ~TPagesDlg() override;

    Ui::TPagesDlg& Form() { return *m_ui; }

private:
    std::unique_ptr<Ui::TPagesDlg> m_ui;
};

} // namespace app
