// TOpenWithDlg: "Open With": the applications that declare the file's type
// in their desktop entries, or a command line of the user's own.
#pragma once

#include "app/core/DesktopEntries.hpp"

#include <QDialog>

#include <string>
#include <vector>

class QLineEdit;
class QListWidget;
class QPushButton;

namespace app {

class TOpenWithDlg : public QDialog {
    Q_OBJECT
public:
    TOpenWithDlg(const std::string& file, QWidget* parent = nullptr);

    QListWidget* lstApps() const { return m_apps; }
    QLineEdit* edtCommand() const { return m_command; }
    QPushButton* OKBtn() const { return m_ok; }
    QPushButton* CancelBtn() const { return m_cancel; }

    // The program and arguments to run: the typed command line when there is
    // one, else the chosen application's. Empty when neither gives one.
    std::vector<std::string> Command() const;

private:
    std::string m_file;
    std::vector<DesktopApp> m_list;
    QListWidget* m_apps;
    QLineEdit* m_command;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

} // namespace app
