// RemotePane: the remote list's state. It holds the list view (dirview) and
// through it the model of rows shown, the hidden list of a recursive
// selection, the icon caches of file types, the sort state of the column
// clicks, and the bookkeeping of the two recursive walks (the selection walk
// and the change-mode walk: folder stack, depth, loop check). Lives on the
// GUI thread, inside the main window.
//
// It speaks to the server through the RemoteSession the window sets, always
// asynchronously: every operation returns at once and goes on from the
// session's callbacks; its own callback comes last. One at a time: the
// window's busy gate keeps a second one from starting.
#pragma once

#include "app/core/RemoteList.hpp"
#include "app/session/RemoteSession.hpp"

#include <QString>

#include <functional>
#include <map>
#include <memory>
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
    // What the pane tells the window and asks of it.
    struct Server {
        // The server said where it stands ("" when it did not answer).
        std::function<void(const std::string& folder)> Learned;
        // The current folder as the last listing (or question) found it.
        std::function<std::string()> CurrentFolder;
        // The shown list holds a new listing (not called when it was refused).
        std::function<void(const SessionResult& result)> Shown;
        // A note for the log.
        std::function<void(const std::string& line)> Note;
        // The user pressed Stop.
        std::function<bool()> Stopped;
    };
    using Done = std::function<void(const SessionResult&)>;

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

    void SetSession(RemoteSession& session) { m_session = &session; }
    RemoteSession& Session() { return *m_session; }

    // Lists the folder the server stands in (asks where that is first) into
    // the shown list; rows keep the shown ones when it was refused.
    void ListShown(Done done);
    // Changes into folder (a name, "..", or a path), then lists it as
    // ListShown does; done has the change's result when that was refused.
    void EnterFolder(const std::string& folder, Done done);

    // The selected rows into view, folders walked, paths relative to the
    // shown folder (base: the path the folders' names are joined to); done
    // comes when the walk has ended (view filled, or stopped part way).
    // view must outlive the walk. False (nothing started, view untouched)
    // while another walk runs.
    bool MakeSelectedList(const std::string& base, std::vector<RemoteRow>& view, std::function<void()> done);
    // A walk (either kind) is in progress.
    bool Walking() const { return m_walking || m_marking; }

    // The change-mode walk: starts at the folder shown.
    void BeginModeWalk(const std::string& shown);
    void EndModeWalk() { m_marking = false; }
    bool ChangeAll() const { return m_ChangeAll; }
    void SetChangeAll(bool all) { m_ChangeAll = all; }
    // The walk could not get back to a folder: nothing more may change.
    bool ModeWalkLost() const { return m_markLost; }
    // Changes the mode of name in the current folder; a folder's contents
    // first, walked. done comes once it and all below it are done.
    void MarkFiles(const std::string& name, bool folder, const std::string& mode, std::function<void()> done);

private:
    using Next = std::function<void()>;
    // Asks the server where it stands and tells the window.
    void Learn(Next next);
    // PWD, then the listing of that folder into rows; the unreadable lines noted.
    void ListRows(std::function<void(const SessionResult&, std::vector<RemoteRow>)> done);
    void WalkSelected(std::string base, std::shared_ptr<std::vector<RemoteRow>> selected, std::size_t i);
    void WalkFolder(const std::string& path, const std::string& folder, int depth, Next next);
    void WalkRows(const std::string& path, std::shared_ptr<std::vector<RemoteRow>> rows, std::size_t i, int depth,
        Next next);
    void WalkBack(const std::string& path, const std::string& parent, Next next);
    void EndWalk();
    void MarkRows(int i, const std::string& mode, Next next);
    void MarkBack(const std::string& name, const std::string& parent, const std::string& here, Next own,
        Next kept);
    void MarkOwn(const std::string& name, const std::string& mode, bool change, Next next);
    void ReturnToMarkFolder(const std::string& folder, Next next);
    void Note(const std::string& line) { m_server.Note(line); }
    bool Stopped() const { return m_server.Stopped(); }
    std::string Folder() const { return m_server.CurrentFolder(); }

    TDirView* m_view = nullptr;
    RemoteSession* m_session = nullptr;
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
    std::vector<RemoteRow>* m_walkView = nullptr; // where its rows go
    std::function<void()> m_walkDone;
    bool m_walkLost = false; // it could not get back to a folder: it stops
    bool m_ChangeAll = false;
    int m_markDepth = 0;
    // The change-mode walk's working folders, outermost (the shown one) first.
    std::vector<std::string> m_markDirs;
    bool m_markLost = false;
    bool m_marking = false; // a change-mode walk is in progress
};

} // namespace app
