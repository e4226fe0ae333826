// TLsDirTreeCombo28: the directory chooser, a read-only box showing a path
// whose drop-down is a folder tree. Paired with a file list, selecting a path
// moves the list there, and the chooser follows the list's moves.
#pragma once

#include <QComboBox>
#include <QPointer>

#include <functional>

class QFileSystemModel;
class QTreeView;

namespace ui {

class TLsFilelistView28;

class TLsDirTreeCombo28 : public QComboBox {
    Q_OBJECT
public:
    explicit TLsDirTreeCombo28(QWidget* parent = nullptr);

    QString SelectedPath() const { return m_path; }
    // Moves the paired file list to path and shows where the list then is
    // (a folder that is gone leaves both where they were); fires OnPathChange.
    void SetSelectedPath(const QString& path);
    void SetFileList(TLsFilelistView28* list);
    int TreeHeight() const { return m_treeHeight; }
    void SetTreeHeight(int h) { m_treeHeight = h; }

    void showPopup() override;
    void hidePopup() override;

    std::function<void(QObject* Sender)> OnPathChange;

private:
    void ShowPath(const QString& path);
    void EnsureTree();

    QString m_path;
    int m_treeHeight = 240;
    QPointer<TLsFilelistView28> m_list;
    QTreeView* m_tree = nullptr;
    QFileSystemModel* m_model = nullptr;
    bool m_following = false;
};

} // namespace ui
