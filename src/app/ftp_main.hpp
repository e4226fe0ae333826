// Tmainform: the main window. Created first, lives for the whole run and owns
// the widgets, the engines and the objects that hold the window's state (the
// settings, the site list, the connection, the engine calls, the log, the
// remote pane, the layout, the editor sessions) besides the transfer queue.
// Everything runs on the GUI thread. The handlers are named after the
// controls and events that call them; those of features still to be built
// exist and do nothing yet; where their state moved they are short forwards.
#pragma once

#include "app/EditorSessions.hpp"
#include "app/EngineCalls.hpp"
#include "app/LogView.hpp"
#include "app/PaneLayout.hpp"
#include "app/RemotePane.hpp"
#include "app/transfer/TransferQueue.hpp"
#include "app/SiteList.hpp"
#include "app/core/ActionGate.hpp"
#include "app/core/AppSettings.hpp"
#include "app/core/ConnectionState.hpp"
#include "app/core/LocalCopy.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/Queue.hpp"
#include "app/core/RemoteList.hpp"
#include "app/core/Settings.hpp"
#include "app/core/SiteBook.hpp"
#include "app/core/WindowLifecycle.hpp"
#include "net/RateLimit.hpp"
#include "ui/HelpWindow.hpp"

#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace Ui {
class Tmainform;
}
namespace ui {
class TImageList;
} // namespace ui
namespace http {
class THttpCli;
} // namespace http
namespace ftp {
class TFtpClient;
class TCustomFtpCli;
} // namespace ftp
namespace net {
struct TCertInfo;
} // namespace net

namespace app {

// The desktop folder, or home when there is none.
QString DesktopFolder();

class Prompter;
class TdlgSite;
class TPagesDlg;
class TAboutBox;
class TfrmImage;
class TDirView;
class TTrustStore;
class FtpSession;
class QueueView;
class SessionPool;

class Tmainform : public QMainWindow {
    Q_OBJECT
public:
    // Runs FormCreate, then creates the site dialog, the options dialog and
    // the about box in this order, so they take the texts of the language
    // that start-up chose. prompter must outlive the window.
    explicit Tmainform(Prompter& prompter, QWidget* parent = nullptr);
    // FormDestroy: closes the site book and writes the settings file.
    ~Tmainform() override;

    Ui::Tmainform& Form() { return *m_ui; }
    TdlgSite& dlgSite() { return *m_dlgSite; }
    TPagesDlg& PagesDlg() { return *m_pagesDlg; }
    TAboutBox& AboutBox() { return *m_aboutBox; }
    TfrmImage& frmImage() { return *m_frmImage; }
    ui::TImageList& icons_small() { return *m_iconsSmall; }
    ui::TImageList& icons_large() { return *m_iconsLarge; }
    QTimer& Timer1() { return m_timer1; }
    ftp::TFtpClient& FtpClient1() { return *m_FtpClient1; }
    // The session the window browses with; FtpSessionOf is null when it is not FTP's.
    RemoteSession& Session() { return *m_session; }
    FtpSession* FtpSessionOf() const;
    // The speed limits of the Options dialog, shared by every FTP engine of
    // the window (each gets them through SetRateLimits).
    const std::shared_ptr<net::TRateLimit>& DownloadLimit() const { return m_engine.DownLimit; }
    const std::shared_ptr<net::TRateLimit>& UploadLimit() const { return m_engine.UpLimit; }
    TDirView& dirview();
    // The hidden list of a recursive selection (MakeSelectedList_Server).
    const std::vector<RemoteRow>& ListView1() const { return m_pane.ListView1(); }
    RemotePane& Pane() { return m_pane; }
    // The queue's connections beside FtpClient1.
    SessionPool& Pool();
    SiteBook& Book() { return m_sites.Book(); }
    ui::HelpWindow* HelpWindow() const { return m_help; }
    Prompter& prompter() { return m_prompter; }

    // Text of a status bar panel (0 or 1).
    QString StatusText(int panel) const;
    void SetStatusText(int panel, const QString& text);

    // Session state shared by the handlers.
    const std::string& ProgramDir() const { return m_settings.ProgramDir; }
    const std::string& LanguageName() const { return m_settings.LanguageName; }
    void SetLanguageName(const std::string& v) { m_settings.LanguageName = v; }
    const std::string& ProxyName() const { return m_settings.ProxyName; }
    void SetProxyName(const std::string& v) { m_settings.ProxyName = v; }
    const std::string& PassiveMode() const { return m_settings.Transfer.PassiveMode(); }
    void SetPassiveMode(const std::string& v) { m_settings.Transfer.SetPassiveMode(v); }
    bool UserDisconnect() const { return m_conn.UserDisconnect; }
    bool ReconnectPending() const { return m_conn.ReconnectPending; }
    const std::string& ReconnectDir() const { return m_conn.ReconnectDir; }
    const std::string& CurrentRemoteDir() const { return m_conn.CurrentRemoteDir; }
    int LoggedIn() const { return m_conn.LoggedIn; }
    std::int32_t IdleTicks() const { return m_conn.IdleTicks; }
    bool TransferCommand() const { return m_conn.TransferCommand; }
    const std::string& UploadFilter() const { return m_settings.UploadFilter; }
    int UploadType() const { return m_settings.UploadType; }
    int LogLineCount() const { return m_log.LineCount(); }
    // "All" was answered in the run in progress.
    bool AnswerAll() const;
    bool StopRequested() const;
    // The help page shown by Help1Click (beside the executable).
    QString HelpFile() const;

    // Start-up, layout, shutdown.
    void FormShow() { }
    void FormPaint() { }
    void FormResize();
    void Exit1Click();
    void Help1Click();

    // Site book.
    void btnAddSiteClick();
    void btnEditSiteClick();
    void btnDeleteSiteClick();
    // The record of the site selected in ComboBox1 (empty text when none).
    std::optional<SiteEntry> FindSelectedSite();

    // Languages.
    void LanguageSelection();
    void SetAccessibleNames();
    void Turkish1Click();
    void English1Click();

    // One action at a time (busy.cpp). A user action comes through Gated:
    // while an engine command or the queue runs it waits (apDefer, run once
    // afterwards) or is refused with a status text (apRefuse).
    ActionGate& Gate() { return m_engine.Gate; }
    TGateVerdict Gated(const std::string& key, TActionPolicy policy, std::function<void()> action);

    // Session control (session.cpp).
    void btnConnectClick();
    void btnDisconnectClick();
    void Timer1Timer();
    void mnuCommandClick();
    void Options1Click();
    // The Options dialog's limits onto the shared buckets.
    void ApplyRateLimits();
    void Proxy1Click();
    void About1Click();
    void FtpClient1SessionConnected();
    void FtpClient1SessionClosed();
    void Display(const std::string& line);
    void FtpClient1Display(const std::string& line);
    void FtpClient1Command(const std::string& command);
    void FtpClient1BgException();
    // Appends a note line to the log (at most 100 lines are kept).
    void AddList(const std::string& text);
    // Lines of the log window, oldest first.
    QStringList LogLines() const;

    // Remote listing and navigation (listing.cpp). The commands on the
    // server return at once and go on from the session's callbacks; the
    // busy gate is held until they end (WaitIdle in the tests).
    // Lists the server's current folder into the remote list; then comes
    // after it (also when it was refused).
    void GetDir(TDirView& view, std::function<void()> then = {});
    void RemoteDirChange(const RemoteRow& row);
    void RemoteDirPrevious();
    // Cwd into name, list it, and say so in the log.
    void EnterRemoteFolder(const std::string& name);
    void LocalDirChange(const std::string& name);
    void LocalDirPrevious();
    // Walks the selection into view (which must outlive the walk), then
    // calls then. False (view untouched, then never called) when another
    // walk or command is in progress.
    bool MakeSelectedList_Server(
        const std::string& base, std::vector<RemoteRow>& view, std::function<void()> then = {});
    void dirviewDblClick();
    void dirviewColumnClick(int column);
    void btnPreviousClick();
    void btnCliPreviousClick();
    void Refresh1Click();
    void ToolButton7Click();
    void mnu_viewClick(QObject* Sender);
    void LsDirTreeCombo281PathChange();
    void LsFilelistView281ItemChange(const QString& item);
    int SortColumn() const { return m_pane.SortColumn(); }

    // Transfer queue (queue.cpp).
    void btnQueueClick();
    void Clear1Click();
    void UploadQueue1Click();
    // Never gated: long loops stop, and the transfer in flight ends now.
    void chkStopClick();
    // Starts a run of the whole queue and returns; nothing when a run is in
    // progress (it performs the new entries). then comes after the run's end.
    void ProcessQueue();
    void ProcessQueue(std::function<void(const TransferRunSummary&)> then);
    // Runs only the entries appended for batch (an action's own, such as an
    // edited file's upload); nothing when a run is in progress.
    void ProcessBatch(int batch, std::function<void(const TransferRunSummary&)> then = {});
    // A number no other action's batch has.
    int NewBatch();
    bool FinishQueueEntry();
    void QueueUpload(const std::string& local, const std::string& remote);
    // Queues the selected remote rows for download into the local list's folder.
    void QueueforDownload();
    // Downloads the selected remote rows into the scratch folder as a batch
    // of their own (no other entry runs; answerAll holds for this batch
    // only) and gives then the copies that came down whole. Returns at
    // once; refused while the queue runs.
    void DownloadToTemp(bool answerAll = false, std::function<void(const std::vector<std::string>& paths)> then = {});
    void FtpClient1Progress(std::int64_t Count, bool& Abort);
    // The queue's lines, head first (lbQueue shows them).
    const std::vector<std::string>& Queue() const;
    // True when the entry at index failed in the last run that tried it.
    bool QueueEntryFailed(std::size_t index) const;
    // Appends entries and saves the queue file at once.
    void AppendQueue(const std::vector<std::string>& lines);
    void AppendQueue(const std::vector<std::string>& lines, int batch);
    bool QueueRunning() const;
    // Opens a local file with the desktop's application; tests replace it.
    std::function<void(const std::string& path)> OnOpenFile;
    void OpenLocalFile(const std::string& path);

    // Remote file operations (remoteops.cpp).
    void Delete1Click();
    void Delete2Click();
    void DeleteFTP();
    void RenameClick();
    void Rename1Click();
    // The in-place edit of a row's name ended; true when the rename was sent
    // (a refused one lists the folder again).
    bool dirviewEdited(int row, const std::string& text);
    // False when the name is the old one, or is listed and the user keeps that file.
    bool MayRenameOnto(const std::string& old, const std::string& name);
    void ChMod1Click();
    void MarkFiles(const std::string& name, bool folder, const std::string& mode);
    void btnNewFolderClick();
    void NewFolder3Click();
    void MakeDefaultDir1Click();

    // Local pane operations.
    void NewDirectory1Click();
    void btnCliNewFolderClick();
    void RenameLocalClick();
    void Delete3Click();
    void btnCliDeleteClick();
    void MakeDefaultDir2Click();
    void GotoDesktop1Click();
    void Openthedirectoryofthefile1Click();
    void OpenwithNotepad1Click();
    void LsFilelistView281DblClick();
    void OpenWith1Click();
    // Starts a program with its arguments, detached; tests replace it.
    std::function<bool(const std::vector<std::string>& argv)> OnStartProgram;
    bool StartProgram(const std::vector<std::string>& argv);
    void OpenWithDialog(const std::string& file);
    // Downloads the focused file afresh and opens it in an editor window of
    // its own; each save uploads it to where it came from. Returns at once.
    void Edit1Click();
    // Files being edited (their editor windows open or an upload still due).
    std::size_t EditSessions() const { return m_editors.Count(); }
    void dirviewClick();

    // Drag and drop, the clipboard, a pasted web address (dragdrop.cpp).
    void dirviewDragDrop(const QStringList& localNames);
    void LsFilelistView281DragDrop();
    void ShellFilesDropped(const QStringList& paths);
    void Copy1Click();
    void PasteServerClick();
    void Copy3Click();
    void Paste3Click();
    void HTTPReceive(const std::string& text);
    http::THttpCli& HttpCli1() { return *m_HttpCli1; }

signals:
    // The window has closed (after FormClose); the program ends on it. A
    // close during a blocking call aborts it and comes once it has returned,
    // so the window can be destroyed on this signal.
    void Closed();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    friend class QueueView;
    void FormCreate();
    void FormClose();
    void FormDestroy();
    void SplitPanes();
    // The window's place, splitters and columns from window.txt, or the first start's.
    void PlaceWindow();
    void SaveWindowLayout();
    // Fits the remote list's columns to a new listing unless the user sized them.
    void FitRemoteColumns();
    // The pane's way to the server, through the engine's blocking forms.
    void ConnectPane();
    void CreateImageLists();
    void WireControls();
    void AddDemoSite();
    void FillSiteList();
    void SelectSiteAt(std::size_t position);
    void Report(const std::string& message);
    void SetUpFtpClient();
    // The window's session becomes session (its events wired to the window);
    // UseFtpSession makes it the FTP engine's again.
    void UseSession(std::unique_ptr<RemoteSession> session);
    void UseFtpSession();
    // A session's question, asked from the event loop; answer gets the button and the text typed.
    void AskForSession(const RemoteSession::Question& question, RemoteSession::Answer answer);
    // Ends the connection at once (the operation in flight fails).
    void EndSessionNow();
    // Logs in to an SFTP site without waiting, then as a connect goes on.
    bool ConnectSftp(const SiteRecord& site, std::function<void()> then);
    // After the log-in: the site's remote folder, its listing, its local folder.
    void EnterSiteFolder(const SiteRecord& site, std::function<void()> then);
    // Runs a blocking engine operation; a refusal of the engine (a missing
    // value, busy) is shown and gives false.
    bool Run(bool (ftp::TFtpClient::*operation)());
    bool Connected() const;
    // Logs in (blocking), then enters the site's folder and lists it
    // asynchronously; then comes after that listing. False when no log-in.
    bool ConnectToSelectedSite(std::function<void()> then = {});
    // Ends the session (Abort, then QUIT) and waits until it has closed.
    void Disconnect();
    // busy.cpp: the policy of a handler wired to a button or menu item, the
    // controls disabled while busy, and the deferred actions' turn.
    TActionPolicy PolicyOf(void (Tmainform::*handler)(), std::string& key) const;
    void GateControl(QObject* control, void (Tmainform::*handler)());
    void BusyChanged(bool busy);
    void RunDeferredActions();
    void ShowPendingWarnings();
    void AbortInFlight();
    // True (and the status bar says so) while a session command or a walk is
    // in flight: what got past the gate must not start another.
    bool RemoteBusy();
    // Holds the busy gate until the returned function is called or dropped.
    std::function<void()> HoldGate();
    // After a one-off command: warnings shown, a refusal reported.
    void CommandDone(const SessionResult& result);
    // Runs step(i, next) for i in [0, count), each after the previous one's
    // next, then then.
    static void RunEach(std::size_t count, std::function<void(std::size_t i, std::function<void()> next)> step,
        std::function<void()> then);
    bool RequireLogIn();
    void StartQueueProgress(int count);
    void ClearStop();
    bool HandleDropEvent(QObject* watched, QEvent* event);
    void CopyDroppedFiles(const QStringList& paths);
    // ProcessQueue, then the log line of how it ended, then then.
    void RunDroppedEntries(bool upload, std::function<void()> then = {});
    // Copies (source, target) pairs into the local pane, asking before a file
    // is replaced: lcCancelled, else the worst of the copies' results.
    TLocalCopyResult CopyToLocalPane(const std::vector<std::pair<std::string, std::string>>& copies);
    QStringList FetchDraggedFiles();
    void LoadTrustStore();
    bool CertificateCheck(const net::TCertInfo& info); // true: go on with this certificate
    // Waits for the scratch paths of the remote selection: a file manager
    // asks for a drag's data and needs the answer now.
    QStringList DownloadSelectionToTemp();
    static std::string ReplyContentRange(const http::THttpCli& h);
    void ShowQueue();
    bool SaveQueue();
    // Runs lines as a batch of scratch copies; then hears whether every
    // one came down, and the local paths of those that did not.
    bool RunScratchBatch(const std::vector<std::string>& lines, bool answerAll,
        std::function<void(bool whole, const std::vector<std::string>& notDone)> then);
    void RefuseWhileRunning();
    // Walks the selection and gives then the queue lines that copy it into base.
    bool SelectionEntries(
        std::string base, TransferQueue& queue, std::function<void(const std::vector<std::string>& lines)> then);
    std::string LocalListFolder() const;

    std::unique_ptr<Ui::Tmainform> m_ui;
    Prompter& m_prompter;
    QTimer m_timer1;
    QLabel* m_statusPanels[2] = { nullptr, nullptr };
    ui::TImageList* m_iconsSmall = nullptr;
    ui::TImageList* m_iconsLarge = nullptr;
    TfrmImage* m_frmImage = nullptr;
    TdlgSite* m_dlgSite = nullptr;
    TPagesDlg* m_pagesDlg = nullptr;
    TAboutBox* m_aboutBox = nullptr;
    QPointer<ui::HelpWindow> m_help;
    std::unique_ptr<ftp::TFtpClient> m_FtpClient1;
    std::unique_ptr<http::THttpCli> m_HttpCli1;

    // The window's state, each part in an object that says what it owns.
    AppSettings m_settings;   // typed settings, read once
    SiteList m_sites;         // the site book and the site list
    ConnectionState m_conn;   // the session with the server, as the window knows it
    EngineCalls m_engine;     // one action at a time (busy.cpp): gate, calls in flight, refusals
    LogView m_log;            // the log and the replies' side of it
    RemotePane m_pane;        // the remote list: rows, hidden lists, icons, sort and walks
    PaneLayout m_layout;      // pane share, row heights, column sizing
    WindowLifecycle m_life;   // closing, destroyed
    EditorSessions m_editors; // files in editor windows
    std::unique_ptr<TTrustStore> m_trust; // certificates trusted for good

    // The session the window browses with and the queue runs on (FtpClient1's
    // asynchronous face), the queue window's entries and the scratch copies'
    // (never in queue.txt), and what the window shows of their runs.
    std::unique_ptr<RemoteSession> m_session;
    std::unique_ptr<QueueView> m_queueView;
    std::unique_ptr<TransferQueue> m_transfers, m_scratch;
    QTimer m_viewFlush;
};

} // namespace app
