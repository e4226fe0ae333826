// TOKBottomDlg: the proxy and passive-mode dialog ("Proxy"), made afresh for
// every use.
#pragma once

#include <QDialog>

#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace app {

class TOKBottomDlg : public QDialog {
    Q_OBJECT
public:
    // Shows proxyName in Edit1; "Passive Mode" is ticked unless passiveMode is "NO".
    TOKBottomDlg(const std::string& proxyName, const std::string& passiveMode, QWidget* parent = nullptr);

    QLineEdit* Edit1() const { return m_edit1; }
    QCheckBox* chkPassive() const { return m_passive; }
    QPushButton* OKBtn() const { return m_ok; }
    QPushButton* CancelBtn() const { return m_cancel; }

    // The values OK stores: the name as typed, "YES" or "NO".
    std::string ProxyName() const;
    std::string PassiveMode() const;

private:
    QLineEdit* m_edit1;
    QCheckBox* m_passive;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

} // namespace app
