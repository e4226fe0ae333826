// TLsFilelistView28: the local file list. Shows one folder of the real file
// system (or the list of mounted volumes, "Drives") with icons, sizes and
// dates, a parent entry at the top, folders before files. All calls on the
// GUI thread; the events fire synchronously from the call or user action that
// caused them.
#pragma once

#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTreeWidget>

#include <functional>

namespace ui {

class TLsFilelistView28 : public QTreeWidget {
    Q_OBJECT
public:
    // Value of Directory() while the volumes are shown.
    static inline const QString kDrives = QStringLiteral("Drives");

    // Kinds of rows (item data role KindRole).
    enum TEntryKind : std::uint8_t { ekParent, ekDrive, ekFolder, ekFile };
    static constexpr int PathRole = Qt::UserRole;
    static constexpr int KindRole = Qt::UserRole + 1;

    explicit TLsFilelistView28(QWidget* parent = nullptr);

    // Current folder with a trailing "/", or "Drives".
    QString Directory() const { return m_directory; }
    // Moves to dir when it differs from the current folder and is an existing
    // folder (also making it the process's current directory), then reloads.
    // "Drives" in any case shows the mounted volumes. Returns whether it moved.
    bool SetDirectory(const QString& dir);

    // File mask, "*.*" (every entry) by default; several masks separated by ";".
    QString Mask() const { return m_mask; }
    void SetMask(const QString& mask);
    QString ParentCaption() const { return m_parentCaption; }
    void SetParentCaption(const QString& caption);

    // Caption of the current row, empty when there is none.
    QString Selected() const;
    // Full path of the current row (a folder path ends in "/").
    QString SelectedPath() const;
    // Full paths of every selected row except the parent entry and volumes.
    QStringList SelectedPaths() const;
    // Finds a row by its caption; null when absent.
    QTreeWidgetItem* FindItem(const QString& caption) const;

    void Reload();
    // Moves to the parent folder; at the root of the file system shows the
    // volumes. Returns whether it moved.
    bool OneLevelUp();
    // Creates "New Folder" (or "New Folder (2)", ... when taken) in the
    // current folder and selects it. Returns its name, empty on failure.
    QString NewFolder();
    // Opens the in-place editor on the current row; committing the edit
    // renames the entry on disk.
    void RenameSelected();
    // Renames an entry of the current folder; reports and returns false when
    // the new name is empty, contains "/", is taken, or the rename fails.
    bool RenameEntry(const QString& oldName, const QString& newName);
    // Moves the selected entries to the desktop trash after OnConfirmDelete
    // agreed. Returns the number of entries moved.
    int DeleteSelected();

    // Events. Sender first; empty slots are skipped.
    std::function<void(QObject* Sender, const QString& path)> OnItemChange;
    // When empty, a double-click on a folder row enters it.
    std::function<void(QObject* Sender)> OnDblClick;
    // Asked before a delete; when empty, a message box asks.
    std::function<bool(QObject* Sender, const QStringList& paths)> OnConfirmDelete;
    // Reports a failure; when empty, a message box shows it.
    std::function<void(QObject* Sender, const QString& message)> OnError;

signals:
    // The folder shown changed (the paired directory chooser follows it).
    void DirectoryChanged(const QString& dir);

private:
    void Fill();
    void FillDrives();
    void AddEntry(const QFileInfo& info);
    bool MatchesMask(const QString& name) const;
    void ReportError(const QString& message);
    void CurrentChanged(QTreeWidgetItem* current);
    void Activated(QTreeWidgetItem* item);
    void ItemEdited(QTreeWidgetItem* item, int column);
    void SelectByCaption(const QString& caption);

    QString m_directory = kDrives;
    QString m_mask = QStringLiteral("*.*");
    QString m_parentCaption = QStringLiteral(" Parent");
    QTreeWidgetItem* m_renaming = nullptr;
    QString m_renameFrom;
    bool m_filling = false;
};

} // namespace ui
