// RemotePane: the remote list's state. It holds the list view (dirview) and
// through it the model of rows shown, the hidden list of a recursive
// selection, the icon caches of file types, the sort state of the column
// clicks, and the bookkeeping of the two recursive walks (the selection walk
// and the change-mode walk: folder stack, depth, loop check). Lives on the
// GUI thread, inside the main window.
//
// It does not speak to the server itself: what needs one (change folder,
// list a folder into rows, change a mode) goes through the Server callbacks
// the window sets.
#pragma once

#include "app/core/RemoteList.hpp"

#include <QString>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ui {
class TImageList;
}

namespace app {

class TDirView;
class TRemoteModel;

class RemotePane {
public:
    // What the pane asks of the server and of the window.
    struct Server {
        // Makes folder the current one (a name, "..", or a path); false when it failed.
        std::function<bool(const std::string& folder)> ChangeFolder;
        // Lists the current folder into rows (and learns its path).
        std::function<void(std::vector<RemoteRow>& rows)> ListFolder;
        // Lists the current folder into the shown list.
        std::function<void()> ListShownFolder;
        // The current folder as the last listing (or LearnFolder) found it.
        std::function<std::string()> CurrentFolder;
        // Asks the server where it stands, without a listing; an answer that
        // does not come leaves CurrentFolder empty.
        std::function<void()> LearnFolder;
        // Sets the mode of name in the current folder.
        std::function<void(const std::string& name, const std::string& mode)> ChangeMode;
        // A note for the log.
        std::function<void(const std::string& line)> Note;
        // The user pressed Stop.
        std::function<bool()> Stopped;
    };

    RemotePane() = default;
    RemotePane(const RemotePane&) = delete;
    RemotePane& operator=(const RemotePane&) = delete;

    void SetView(TDirView& view) { m_view = &view; }
    TDirView& View() { return *m_view; }
    TRemoteModel& Model();
    Server& Callbacks() { return m_server; }

    // Index 0 folder, 1 file; extension icons are added from 2 on.
    void SetImageLists(ui::TImageList* small, ui::TImageList* large);
    // The image of a file-type key (".txt"), -1 when there is none.
    int IconIndex(const std::string& key);
    void ClearIconCache() { m_IconCache.clear(); }

    // A click on column: the direction flips each time.
    void ColumnClick(int column);
    int SortColumn() const { return m_SortColumn; }

    // The hidden list of a recursive selection.
    std::vector<RemoteRow>& ListView1() { return m_ListView1; }
    const std::vector<RemoteRow>& ListView1() const { return m_ListView1; }

    // The selected rows into view, folders walked, paths relative to the
    // shown folder (base: the path the folders' names are joined to).
    // Callers make sure no other walk runs (Walking()).
    void MakeSelectedList(const std::string& base, std::vector<RemoteRow>& view);
    bool Walking() const { return m_walking; }
    void ListDir(const std::string& path, const std::string& folder, std::vector<RemoteRow>& view);

    // The change-mode walk: starts at the folder shown.
    void BeginModeWalk(const std::string& shown);
    bool ChangeAll() const { return m_ChangeAll; }
    void SetChangeAll(bool all) { m_ChangeAll = all; }
    // The walk could not get back to a folder: nothing more may change.
    bool ModeWalkLost() const { return m_markLost; }
    void MarkFiles(const std::string& name, bool folder, const std::string& mode);

private:
    void WalkFolder(const std::string& path, const std::string& folder, std::vector<RemoteRow>& view, int depth);
    void ReturnToMarkFolder(const std::string& folder);
    void Note(const std::string& line) { m_server.Note(line); }
    bool Stopped() const { return m_server.Stopped(); }

    TDirView* m_view = nullptr;
    Server m_server;
    ui::TImageList* m_iconsSmall = nullptr;
    ui::TImageList* m_iconsLarge = nullptr;
    std::map<std::string, int> m_IconCache; // file extension -> image index, -1 none
    std::map<QString, int> m_mimeIcons;     // MIME type -> image index
    int m_SortColumn = 0;
    int m_Tag = 0; // sort direction of the last column click
    std::vector<RemoteRow> m_ListView1;
    // Working folders of the recursive walk in progress, outermost first.
    std::vector<std::string> m_walkDirs;
    bool m_walking = false; // its folder stack and hidden list are in use
    bool m_walkLost = false; // it could not get back to a folder: it stops
    bool m_ChangeAll = false;
    int m_markDepth = 0;
    // The change-mode walk's working folders, outermost (the shown one) first.
    std::vector<std::string> m_markDirs;
    bool m_markLost = false;
};

} // namespace app
