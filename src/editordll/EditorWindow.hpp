// The editor's window: one plain-text file, a File menu, nothing more.
#pragma once

#include <QMainWindow>

class QAction;
class QLabel;
class QPlainTextEdit;

namespace editordll {

class EditorWindow : public QMainWindow {
    Q_OBJECT

public:
    EditorWindow();

    // Reads path into the window. A missing file opens empty. False, with a
    // message shown, when it cannot be read.
    bool Load(const QString& path);
    // Asks about unsaved changes before the window takes another file or
    // closes; false when the user chose to stay.
    bool MayLeave();
    QString Path() const { return m_path; }
    bool Save();
    bool SaveAs();

signals:
    void PathChanged(const QString& path);
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    bool WriteTo(const QString& path);
    // The document as the bytes of the file, in the file's own encoding and
    // line breaks; false with error set when it cannot be put that way.
    bool Serialize(QByteArray* bytes, QString* error) const;
    void SetReadOnly(bool readOnly, const QString& why);
    void UpdateTitle();

    QPlainTextEdit* m_edit;
    QAction* m_save;
    QAction* m_saveAs;
    QLabel* m_status;
    QString m_path;
    bool m_latin1 = false; // the file is not UTF-8: read and written byte for byte
    bool m_crlf = false;
    bool m_onDisk = false; // m_path exists with the document's content
};

} // namespace editordll
