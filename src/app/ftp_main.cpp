#include "app/ftp_main.hpp"

#include "app/QueueView.hpp"
#include "app/session/FtpSession.hpp"

#include "app/core/Captions.hpp"
#include "app/core/Paths.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/SafeFile.hpp"
#include "app/core/Settings.hpp"
#include "app/core/TrustStore.hpp"
#include "app/core/WindowLayout.hpp"
#include "app/dialog.hpp"
#include "app/dirview.hpp"
#include "app/hakkinda.hpp"
#include "app/options.hpp"
#include "app/untimage.hpp"
#include "ftp/FtpCli.hpp"
#include "http/HttpProt.hpp"
#include "net/Tls.hpp"
#include "ui/Glyphs.hpp"
#include "ui/HelpWindow.hpp"
#include "ui/ImageList.hpp"
#include "ui/LsDirTreeCombo28.hpp"
#include "ui/LsFilelistView28.hpp"

#include "ui_dlgsite.h"
#include "ui_mainform.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QListView>
#include <QScreen>
#include <QShowEvent>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QToolButton>
#include <QTreeView>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace app {

namespace {

constexpr int kMinimumWidth = 550;

QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}
std::string S(const QString& s)
{
    return s.toStdString();
}

} // namespace

Tmainform::Tmainform(Prompter& prompter, QWidget* parent)
    : QMainWindow(parent)
    , m_ui(std::make_unique<Ui::Tmainform>())
    , m_prompter(prompter)
{
    m_ui->setupUi(this);
    m_pane.SetView(*m_ui->dirview);
    m_sites.SetView(*m_ui->ComboBox1);
    m_log.SetView(*m_ui->listbox1);
    m_log.OnChanged = [this] {
        if (!m_viewFlush.isActive())
            m_viewFlush.start();
    };
    ConnectPane();
    // Before the captions: the Options dialog's are in the window's table.
    m_pagesDlg = new TPagesDlg(this);
    FormCreate();
    const bool english = m_settings.English();
    m_dlgSite = new TdlgSite(english, m_prompter, this);
    m_aboutBox = new TAboutBox(english, this);
}

Tmainform::~Tmainform()
{
    FormDestroy();
}

void Tmainform::FormCreate()
{
    SetUpFtpClient();
    m_HttpCli1 = std::make_unique<http::THttpCli>("HttpCli1");
    m_HttpCli1->OnCertificateCheck
        = [this](http::THttpCli*, const net::TCertInfo& info, bool& accept) { accept = CertificateCheck(info); };
    WireControls();

    // 1. The picture preview window.
    m_frmImage = new TfrmImage(this);

    // 2. The program directory.
    std::string error;
    m_settings.ProgramDir = app::ProgramDir(&error);
    if (!error.empty())
        Report(error);

    // The certificates trusted for good.
    LoadTrustStore();

    // 3. The transfer queue.
    // The program's listing file: every listing, the window's and the queue's, comes through the session.
    FtpSessionOf()->SetListingFile(JoinPath(m_settings.ProgramDir, "ftpdir.txt"));
    m_transfers = std::make_unique<TransferQueue>(
        *m_queueView, std::make_unique<QueueFile>(JoinPath(m_settings.ProgramDir, "queue.txt")));
    {
        const std::string path = m_transfers->File()->Path();
        if (!m_transfers->Load(&error)) {
            // The first save would replace what cannot be read: it is set
            // aside, and the queue starts empty.
            const std::string aside = SetAsideName(path, std::time(nullptr));
            if (std::rename(path.c_str(), aside.c_str()) == 0) {
                AddList(error);
                AddList("The queue file could not be read; it was moved to \"" + aside + "\" and the queue starts empty.");
            } else {
                Report(error + "\nIt could not be moved aside either: " + std::strerror(errno));
            }
            m_transfers->Load(nullptr);
        }
    }
    ShowQueue();

    // 4. The settings, all or nothing.
    std::string settingsError;
    m_settings.Read(&settingsError);
    if (m_settings.KeepSettingsFile)
        Report(settingsError + "\nThe default settings are used; the file is left as it is.");
    ApplyRateLimits();

    // 5. Session state (m_conn starts as no session).

    // 6. Captions.
    LanguageSelection();

    // 7. The site book and the site list.
    m_ui->ComboBox1->clear();
    if (!m_sites.Book().Open(m_settings.ProgramDir, &error))
        Report(error);
    AddDemoSite();
    FillSiteList();
    if (m_ui->ComboBox1->count() > 0)
        m_ui->ComboBox1->setCurrentIndex(0);

    // 8. Files dropped from the desktop.
    setAcceptDrops(true);

    // 9. The icon cache of the remote pane.
    m_pane.ClearIconCache();

    // 10. Folder and file icons of the remote view.
    CreateImageLists();

    // The size and place of the last run.
    PlaceWindow();
    // From here on a column that changes width was sized by the user.
    connect(m_ui->dirview->DetailsView()->header(), &QHeaderView::sectionResized, this, [this] {
        if (!m_layout.SizingColumns)
            m_layout.ColumnsSet = true;
    });
}

// scripts/run names its demo server in TALLOWIN_DEMO ("host:port"); an empty
// book then offers that server, so a first start has something to connect to.
void Tmainform::AddDemoSite()
{
    const std::string demo = qgetenv("TALLOWIN_DEMO").toStdString();
    const std::size_t colon = demo.rfind(':');
    if (!m_sites.Book().IsOpen() || colon == std::string::npos || colon == 0)
        return;
    const std::string host = demo.substr(0, colon);
    const std::string port = demo.substr(colon + 1);
    if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos)
        return;
    std::string error;
    // A failed read is left to FillSiteList, which reports it.
    if (!m_sites.Book().LiveEntries(&error).empty() || !error.empty())
        return;
    SiteRecord record;
    if (!(record.SetAlias("Demo") && record.SetHostName(host) && record.SetUserName("demo")
            && record.SetPassword("demo") && record.SetPort(port) && record.SetRemoteDir("")))
        return;
    if (!m_sites.Book().Add(record, &error))
        Report(error);
}

void Tmainform::WireControls()
{
    Ui::Tmainform& f = *m_ui;
    setMinimumWidth(kMinimumWidth);

    // The top bar.
    f.imgLogo->setPixmap(ui::LogoPixmap(40));
    const struct {
        QAbstractButton* Button;
        ui::TGlyph Glyph;
    } glyphs[] = { { f.btnConnect, ui::glConnect }, { f.btnDisconnect, ui::glDisconnect },
        { f.btnAddSite, ui::glAddSite }, { f.btnEditSite, ui::glEditSite },
        { f.btnDeleteSite, ui::glDeleteSite }, { f.btnCliPrevious, ui::glPrevious },
        { f.btnCliNewFolder, ui::glNewFolder }, { f.btnCliDelete, ui::glDelete },
        { f.btnPrevious, ui::glPrevious }, { f.btnNewFolder, ui::glNewFolder }, { f.btnCopy, ui::glCopy },
        { f.btnPaste, ui::glPaste }, { f.btnDelete, ui::glDelete }, { f.ToolButton7, ui::glRefresh },
        { f.btnQueue, ui::glQueue }, { f.chkPreview, ui::glPreview }, { f.chkStop, ui::glStop } };
    for (const auto& g : glyphs)
        g.Button->setIcon(ui::Glyph(g.Glyph));

    // The status bar: panel 0 (330 pixels) carries the status texts.
    for (int i = 0; i < 2; ++i) {
        m_statusPanels[i] = new QLabel(f.Status);
        m_statusPanels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        m_statusPanels[i]->setFrameShape(QFrame::Panel);
        m_statusPanels[i]->setFrameShadow(QFrame::Sunken);
        // Panel 1 carries the transfer's progress, speed and time left: it takes the rest.
        if (i == 0)
            m_statusPanels[i]->setFixedWidth(330);
        else
            m_statusPanels[i]->setMinimumWidth(50);
        f.Status->addWidget(m_statusPanels[i], i);
    }

    f.Splitter1->installEventFilter(this);
    // A share the user chose holds through later resizes and runs.
    connect(f.Splitter1, &QSplitter::splitterMoved, this, [this] {
        m_layout.KeepShare(m_ui->Splitter1->sizes().value(0), width());
    });
    // Each pane gets half of any width from 550 up; what does not fit is cut.
    f.pnlLeft->setMinimumWidth(100);
    f.pnlRight->setMinimumWidth(100);
    // The directory labels show long paths later: they take the room that
    // is left and are cut, never pushing the check box out.
    for (QLabel* label : { f.lblLocal, f.lblRemote }) {
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        label->setMinimumWidth(0);
    }
    // The panes take the height; the log and the queue keep theirs.
    f.Splitter2->setStretchFactor(0, 1);
    f.Splitter2->setStretchFactor(1, 0);
    f.Splitter2->setStretchFactor(2, 0);
    f.Splitter2->setSizes({ height() - 200, 49, 45 });

    // The remote list.
    const int widths[] = { 120, 60, 55, 80, 90 };
    for (int c = 0; c < 5; ++c)
        f.dirview->SetColumnWidth(c, widths[c]);
    // The remote list's keys, clicks and drags pass the gate like the buttons.
    m_engine.Gate.OnBusyChanged = [this](bool busy) { BusyChanged(busy); };
    connect(f.dirview, &TDirView::RowActivated, this, [this](int row) {
        Gated("open", apRefuse, [this, row] {
            dirview().SetFocusedRow(row);
            dirviewDblClick();
        });
    });
    connect(f.dirview, &TDirView::RowClicked, this, [this] {
        if (m_ui->chkPreview->isChecked())
            Gated("preview", apRefuse, [this] { dirviewClick(); });
    });
    connect(f.dirview, &TDirView::HeaderClicked, this,
        [this](int column) { Gated("sort", apRefuse, [this, column] { dirviewColumnClick(column); }); });
    connect(f.dirview, &TDirView::ParentRequested, this,
        [this] { Gated("parent", apRefuse, [this] { btnPreviousClick(); }); });
    connect(f.dirview, &TDirView::RefreshRequested, this,
        [this] { Gated("refresh", apDefer, [this] { Refresh1Click(); }); });
    connect(f.dirview, &TDirView::DeleteRequested, this,
        [this] { Gated("delete", apRefuse, [this] { DeleteFTP(); }); });
    connect(f.dirview, &TDirView::RenameRequested, this,
        [this] { Gated("rename", apRefuse, [this] { Rename1Click(); }); });
    f.dirview->Model().OnEdited = [this](int row, const std::string& name) {
        bool renamed = false;
        Gated("rename", apRefuse, [&] { renamed = dirviewEdited(row, name); });
        return renamed;
    };
    f.dirview->Model().OnFetchDragFiles = [this] {
        QStringList files;
        Gated("copy", apRefuse, [&] { files = FetchDraggedFiles(); });
        return files;
    };

    // The local pane.
    f.LsDirTreeCombo281->SetFileList(f.LsFilelistView281);
    f.LsDirTreeCombo281->SetTreeHeight(240);
    f.LsDirTreeCombo281->SetSelectedPath(DesktopFolder());
    f.LsFilelistView281->SetMask(QStringLiteral("*.*"));
    f.LsFilelistView281->SetParentCaption(QStringLiteral(" Parent"));
    // The local pane opens on the desktop folder; "Drives" is one click up.
    f.LsFilelistView281->SetDirectory(DesktopFolder());
    f.LsDirTreeCombo281->OnPathChange = [this](QObject*) { LsDirTreeCombo281PathChange(); };
    f.LsFilelistView281->OnItemChange
        = [this](QObject*, const QString& item) { LsFilelistView281ItemChange(item); };
    f.LsFilelistView281->OnConfirmDelete = [this](QObject*, const QStringList& paths) {
        const std::string what
            = paths.size() == 1 ? "\"" + S(paths.front()) + "\"" : std::to_string(paths.size()) + " items";
        return m_prompter.Confirm("Move " + what + " to the trash?", { ansOK, ansCancel }) == ansOK;
    };
    f.LsFilelistView281->OnError
        = [this](QObject*, const QString& message) { m_prompter.ShowMessage(S(message), mkError); };
    f.LsFilelistView281->OnDblClick = [this](QObject*) {
        Gated("local-open", m_ui->chkNavigating->isChecked() ? apRefuse : apFree,
            [this] { LsFilelistView281DblClick(); });
    };
    // Preview on click stays on while the button is down.
    f.chkPreview->setCheckable(true);
    // Drops on either list: rows of the other pane, or files of a file manager.
    for (QWidget* target : { f.dirview->DetailsView()->viewport(), f.dirview->IconView()->viewport(),
             f.LsFilelistView281->viewport() }) {
        target->setAcceptDrops(true);
        target->installEventFilter(this);
    }

    // Pop-up menus.
    f.dirview->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(f.dirview, &QWidget::customContextMenuRequested, this,
        [this](const QPoint& p) { m_ui->mnu_style->popup(m_ui->dirview->mapToGlobal(p)); });
    connect(f.LsFilelistView281, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
        m_ui->mnulLocal->popup(m_ui->LsFilelistView281->viewport()->mapToGlobal(p));
    });
    connect(f.lbQueue, &QWidget::customContextMenuRequested, this,
        [this](const QPoint& p) { m_ui->pmQueue->popup(m_ui->lbQueue->mapToGlobal(p)); });

    // Buttons.
    // Every button and menu item passes the gate (busy.cpp has the policies).
    const auto gated = [this](void (Tmainform::*handler)()) {
        std::string key;
        const TActionPolicy policy = PolicyOf(handler, key);
        Gated(key, policy, [this, handler] { (this->*handler)(); });
    };
    const auto click = [this, gated](QAbstractButton* button, void (Tmainform::*handler)()) {
        GateControl(button, handler);
        connect(button, &QAbstractButton::clicked, this, [gated, handler] { gated(handler); });
    };
    click(f.btnConnect, &Tmainform::btnConnectClick);
    click(f.btnDisconnect, &Tmainform::btnDisconnectClick);
    click(f.btnAddSite, &Tmainform::btnAddSiteClick);
    click(f.btnEditSite, &Tmainform::btnEditSiteClick);
    click(f.btnDeleteSite, &Tmainform::btnDeleteSiteClick);
    click(f.btnPrevious, &Tmainform::btnPreviousClick);
    click(f.ToolButton7, &Tmainform::ToolButton7Click);
    click(f.btnCopy, &Tmainform::Copy1Click);
    click(f.btnPaste, &Tmainform::PasteServerClick);
    click(f.btnQueue, &Tmainform::btnQueueClick);
    click(f.chkStop, &Tmainform::chkStopClick);
    click(f.btnNewFolder, &Tmainform::btnNewFolderClick);
    click(f.btnDelete, &Tmainform::Delete1Click);
    click(f.btnCliPrevious, &Tmainform::btnCliPreviousClick);
    click(f.btnCliNewFolder, &Tmainform::btnCliNewFolderClick);
    click(f.btnCliDelete, &Tmainform::btnCliDeleteClick);

    // Menu items.
    const auto item = [this, gated](QAction* action, void (Tmainform::*handler)()) {
        GateControl(action, handler);
        connect(action, &QAction::triggered, this, [gated, handler] { gated(handler); });
    };
    item(f.Turkish1, &Tmainform::Turkish1Click);
    item(f.English1, &Tmainform::English1Click);
    item(f.AddSite1, &Tmainform::btnAddSiteClick);
    item(f.EditSite1, &Tmainform::btnEditSiteClick);
    item(f.Connect1, &Tmainform::btnConnectClick);
    item(f.Disconnect1, &Tmainform::btnDisconnectClick);
    item(f.Exit1, &Tmainform::Exit1Click);
    item(f.NewFolder1, &Tmainform::NewDirectory1Click);
    item(f.Copy2, &Tmainform::Copy3Click);
    item(f.Paste2, &Tmainform::Paste3Click);
    item(f.Delete1, &Tmainform::Delete3Click);
    item(f.MakeDefaultDir4, &Tmainform::MakeDefaultDir2Click);
    // Site Operations > New Folder (NewFolder2) has no action.
    item(f.Copy4, &Tmainform::Copy1Click);
    item(f.Paste4, &Tmainform::PasteServerClick);
    item(f.Delete4, &Tmainform::Delete2Click);
    item(f.Refresh2, &Tmainform::Refresh1Click);
    item(f.ChangeMode1, &Tmainform::ChMod1Click);
    item(f.MakeDefaultDir3, &Tmainform::MakeDefaultDir1Click);
    item(f.Options1, &Tmainform::Options1Click);
    item(f.Proxy1, &Tmainform::Proxy1Click);
    item(f.mnuCommand, &Tmainform::mnuCommandClick);
    for (QAction* view : { f.BigSymbols1, f.SmallSymbols1, f.List1, f.Details1, f.mnu_view_big,
             f.mnu_view_small, f.mnu_view_list, f.mnu_view_details })
        connect(view, &QAction::triggered, this, [this, view] { mnu_viewClick(view); });
    item(f.About1, &Tmainform::About1Click);
    item(f.Help1, &Tmainform::Help1Click);
    // mnu_style
    item(f.NewFolder3, &Tmainform::NewFolder3Click);
    item(f.ChMod1, &Tmainform::ChMod1Click);
    item(f.MakeDefaultDir1, &Tmainform::MakeDefaultDir1Click);
    item(f.Rename, &Tmainform::RenameClick);
    item(f.Copy1, &Tmainform::Copy1Click);
    item(f.PasteServer, &Tmainform::PasteServerClick);
    item(f.Delete2, &Tmainform::Delete2Click);
    item(f.Refresh1, &Tmainform::Refresh1Click);
    item(f.OpenWith1, &Tmainform::OpenWith1Click);
    item(f.Edit1, &Tmainform::Edit1Click);
    // mnulLocal
    item(f.NewDirectory1, &Tmainform::NewDirectory1Click);
    item(f.MakeDefaultDir2, &Tmainform::MakeDefaultDir2Click);
    item(f.RenameLocal, &Tmainform::RenameLocalClick);
    item(f.Copy3, &Tmainform::Copy3Click);
    item(f.Paste3, &Tmainform::Paste3Click);
    item(f.Delete3, &Tmainform::Delete3Click);
    item(f.Openthedirectoryofthefile1, &Tmainform::Openthedirectoryofthefile1Click);
    item(f.OpenwithNotepad1, &Tmainform::OpenwithNotepad1Click);
    item(f.GotoDesktop1, &Tmainform::GotoDesktop1Click);
    // pmQueue
    item(f.Clear1, &Tmainform::Clear1Click);
    item(f.UploadQueue1, &Tmainform::UploadQueue1Click);

    // Timer1: enabled from the start, every second.
    m_timer1.setObjectName(QStringLiteral("Timer1"));
    m_timer1.setInterval(1000);
    connect(&m_timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    m_timer1.start();
    // The log and the queue window are brought up to date at most ten times a second.
    m_viewFlush.setSingleShot(true);
    m_viewFlush.setInterval(100);
    connect(&m_viewFlush, &QTimer::timeout, this, [this] {
        m_log.Flush();
        m_queueView->Flush();
    });
    // Files in editor windows: their saves go up through the queue.
    EditorSessions::Uploads& uploads = m_editors.Calls();
    uploads.Queue = [this](const std::string& line, int batch) { AppendQueue({ line }, batch); };
    uploads.Idle = [this] { return !QueueRunning() && !m_engine.Gate.Busy(); };
    uploads.Run = [this](int batch, const std::string& left) {
        // A Stop given before this save was meant for something else.
        ClearStop();
        ProcessBatch(batch, [this, batch, left](const TransferRunSummary&) {
            if (m_transfers->Count(batch) > 0)
                AddList(left);
        });
    };
    uploads.Note = [this](const std::string& line) { AddList(line); };
}

void Tmainform::CreateImageLists()
{
    m_iconsSmall = new ui::TImageList(QSize(16, 16), this);
    m_iconsSmall->setObjectName(QStringLiteral("icons_small"));
    m_iconsLarge = new ui::TImageList(QSize(32, 32), this);
    m_iconsLarge->setObjectName(QStringLiteral("icons_large"));
    // Index 0 is the folder, index 1 the file: the remote list counts on it.
    const QIcon folder
        = QIcon::fromTheme(QStringLiteral("folder"), style()->standardIcon(QStyle::SP_DirIcon));
    QIcon file = QIcon::fromTheme(QStringLiteral("text-x-generic"));
    if (file.isNull())
        file = style()->standardIcon(QStyle::SP_FileIcon);
    for (ui::TImageList* list : { m_iconsSmall, m_iconsLarge }) {
        list->Add(folder);
        list->Add(file);
    }
    m_pane.SetImageLists(m_iconsSmall, m_iconsLarge);
}

QString Tmainform::StatusText(int panel) const
{
    return panel >= 0 && panel < 2 ? m_statusPanels[panel]->text() : QString();
}

void Tmainform::SetStatusText(int panel, const QString& text)
{
    if (panel >= 0 && panel < 2)
        m_statusPanels[panel]->setText(text);
}

void Tmainform::Report(const std::string& message)
{
    m_prompter.ShowMessage(message, mkError);
}

// ---------------------------------------------------------------- layout

void Tmainform::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    FormResize();
}

void Tmainform::FormResize()
{
    if (width() < kMinimumWidth) {
        resize(kMinimumWidth, height());
        return; // the resize comes back here
    }
    SplitPanes();
}

void Tmainform::SplitPanes()
{
    QSplitter* split = m_ui->Splitter1;
    const int left = m_layout.LeftWidth(width());
    split->setSizes({ left, std::max(0, split->width() - split->handleWidth() - left) });
}

void Tmainform::PlaceWindow()
{
    Ui::Tmainform& f = *m_ui;
    std::vector<WindowRect> screens;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect a = screen->availableGeometry();
        screens.push_back({ a.x(), a.y(), a.width(), a.height() });
    }
    // A file that cannot be read, or a place on a screen that is gone, gives the first start's.
    const std::optional<WindowLayout> saved
        = m_settings.ProgramDir.empty() ? std::nullopt : ReadWindowLayout(m_settings.ProgramDir);
    if (saved && OnSomeScreen(saved->geometry, screens)) {
        const WindowRect& g = saved->geometry;
        m_layout.PaneShare = saved->paneShare;
        // The place is the frame's, the size the window's own, as the window manager takes them.
        resize(std::max(g.width, kMinimumWidth), g.height);
        move(g.x, g.y);
        if (saved->columns.size() == 5) {
            for (int c = 0; c < 5; ++c)
                f.dirview->SetColumnWidth(c, saved->columns[std::size_t(c)]);
            m_layout.ColumnsSet = saved->columnsSet;
        }
        if (int(saved->localColumns.size()) == f.LsFilelistView281->columnCount())
            for (int c = 0; c < f.LsFilelistView281->columnCount(); ++c)
                f.LsFilelistView281->setColumnWidth(c, saved->localColumns[std::size_t(c)]);
        if (saved->rows.size() == 3)
            m_layout.PendingRows = saved->rows;
        if (saved->maximized)
            setWindowState(windowState() | Qt::WindowMaximized);
        return;
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect a = screen->availableGeometry();
    const WindowRect r = DefaultWindowSize(a.width(), a.height());
    resize(r.width, r.height);
    move(a.x() + r.x, a.y() + r.y);
    // Names get the room the wider pane has beyond the other columns (and a scroll bar).
    const int others = 60 + 55 + 80 + 90;
    f.dirview->SetColumnWidth(0, std::max(120, r.width / 2 - others - 40));
}

void Tmainform::FitRemoteColumns()
{
    if (m_layout.ColumnsSet)
        return;
    QTreeView* view = m_ui->dirview->DetailsView();
    m_layout.SizingColumns = true;
    // Size, type, date and permissions show whole (a 300 MiB size, "Directory");
    // the name takes the room that is left, as at the first start.
    int others = 0;
    for (int c = 1; c < 5; ++c) {
        view->resizeColumnToContents(c);
        others += view->columnWidth(c);
    }
    if (view->isVisible())
        view->setColumnWidth(0, std::max(120, view->viewport()->width() - others));
    m_layout.SizingColumns = false;
}

void Tmainform::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // The splitter has its height only now.
    if (!m_layout.PendingRows.empty())
        m_ui->Splitter2->setSizes(QList<int>(m_layout.PendingRows.begin(), m_layout.PendingRows.end()));
    m_layout.PendingRows.clear();
}

void Tmainform::SaveWindowLayout()
{
    // Without a settings folder (already reported) there is nowhere to keep it.
    if (m_settings.ProgramDir.empty())
        return;
    Ui::Tmainform& f = *m_ui;
    WindowLayout layout;
    // The frame's place and the window's size (the normal ones while maximised).
    const bool normal = !isMaximized() && !isFullScreen();
    const QRect g = normal ? geometry() : normalGeometry();
    const QPoint frame = g.topLeft() - (geometry().topLeft() - pos());
    layout.geometry = { frame.x(), frame.y(), g.width(), g.height() };
    layout.maximized = isMaximized();
    layout.paneShare = m_layout.PaneShare;
    for (int height : f.Splitter2->sizes())
        layout.rows.push_back(height);
    for (int c = 0; c < 5; ++c)
        layout.columns.push_back(f.dirview->DetailsView()->columnWidth(c));
    layout.columnsSet = m_layout.ColumnsSet;
    for (int c = 0; c < f.LsFilelistView281->columnCount(); ++c)
        layout.localColumns.push_back(f.LsFilelistView281->columnWidth(c));
    std::string error;
    if (!WriteWindowLayout(m_settings.ProgramDir, layout, &error))
        Report(error);
}

bool Tmainform::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if ((type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop)
        && HandleDropEvent(watched, event))
        return true;
    // The panes' splitter learns its new width after the window's resize
    // event; split again once it has it.
    if (watched == m_ui->Splitter1 && event->type() == QEvent::Resize)
        SplitPanes();
    return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------- closing

void Tmainform::closeEvent(QCloseEvent* event)
{
    if (m_life.Closing) {
        // Already going down: a second close request changes nothing.
        event->accept();
        return;
    }
    // The editors close with the window, each asking about unsaved text;
    // staying in one keeps the window open too.
    const bool running = QueueRunning();
    if (!m_editors.CloseAll()) {
        event->ignore();
        return;
    }
    // A save made on the way out is going up: the window closes once it is
    // there, instead of breaking it off.
    if (!running && QueueRunning()) {
        m_life.CloseWhenIdle = true;
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
    QMainWindow::closeEvent(event);
    // Closed ends the program: not before the calls on the stack have returned.
    if (m_engine.Gate.Busy() || m_engine.EngineWaits > 0)
        m_engine.ClosedPending = true;
    else
        emit Closed();
}

void Tmainform::FormClose()
{
    m_life.Closing = true;
    SaveWindowLayout();
    SetStatusText(0, QString::fromUtf8(Message(msgClosing, m_settings.English())));
    m_statusPanels[0]->repaint();
    // The close box and the File menu's Exit cannot start a second close.
    m_ui->Exit1->setEnabled(false);
    m_pane.ClearIconCache();
    // Nothing waits for its turn any more; what is in flight ends now.
    m_engine.Gate.DropDeferred();
    chkStopClick();
}

void Tmainform::FormDestroy()
{
    if (m_life.Destroyed)
        return;
    m_life.Destroyed = true;
    // A run still in flight ends with the window: nothing of it reaches the
    // widgets or the gate any more.
    m_engine.Gate.OnBusyChanged = nullptr;
    m_queueView->Abandon();
    m_timer1.stop();
    m_viewFlush.stop();
    m_editors.StopWatching();
    // The engine outlives this body: nothing of it may call back into the window.
    ftp::TFtpClient& c = *m_FtpClient1;
    m_session->SessionEvents() = {};
    c.OnCommand = nullptr;
    c.OnTrace = nullptr;
    c.OnBgException = nullptr;
    c.OnError = nullptr;
    c.OnCertificateCheck = nullptr;
    m_HttpCli1->OnCertificateCheck = nullptr;
    std::string queueError;
    if (m_transfers && !m_transfers->File()->Flush(&queueError))
        Report(queueError);
    m_sites.Book().Close();
    std::string error;
    if (!m_settings.Write(&error))
        Report(error);
    delete m_frmImage;
    m_frmImage = nullptr;
}

void Tmainform::Exit1Click()
{
    close();
}

QString Tmainform::HelpFile() const
{
    // Beside the program in the build tree; under share/ when installed.
    const QDir bin(QCoreApplication::applicationDirPath());
    const QString beside = bin.filePath(QStringLiteral("tallowin.html"));
    const QString shared = bin.filePath(QStringLiteral("../share/tallowin/tallowin.html"));
    if (!QFileInfo::exists(beside) && QFileInfo::exists(shared))
        return QDir::cleanPath(shared);
    return beside;
}

void Tmainform::Help1Click()
{
    if (!m_help) {
        m_help = new ui::HelpWindow(this);
        m_help->setAttribute(Qt::WA_DeleteOnClose, false);
    }
    m_help->ShowPage(HelpFile());
}

// ---------------------------------------------------------------- site book

void Tmainform::FillSiteList()
{
    std::string error;
    if (!m_sites.Fill(&error))
        Report(error);
}

std::optional<SiteEntry> Tmainform::FindSelectedSite()
{
    std::string error;
    std::optional<SiteEntry> entry = m_sites.FindSelected(&error);
    if (!error.empty())
        Report(error);
    return entry;
}

void Tmainform::SelectSiteAt(std::size_t position)
{
    m_sites.SelectAt(position);
}

namespace {

// Copies the stored fields and the connection options of the dialog into record. False (and the
// record unchanged in the failing field) when a text does not fit.
// A field left as an edit showed it keeps its bytes (see TdlgSite::ShowBytes).
bool RecordFromDialog(TdlgSite& dlg, SiteRecord& record)
{
    Ui::TdlgSite& d = dlg.Form();
    return record.SetAlias(dlg.StoredBytes(d.edtAlias)) && record.SetHostName(dlg.StoredBytes(d.edtHost))
        && record.SetUserName(dlg.StoredBytes(d.edtUser)) && record.SetPassword(dlg.StoredBytes(d.edtPassword))
        && record.SetPort(dlg.StoredBytes(d.edtPort)) && record.SetRemoteDir(dlg.StoredBytes(d.edtDefaultDir))
        && record.SetField(sfReserved, dlg.StoredReserved());
}

bool AliasAndHostGiven(Ui::TdlgSite& d)
{
    return !d.edtHost->text().trimmed().isEmpty() && !d.edtAlias->text().trimmed().isEmpty();
}

} // namespace

void Tmainform::btnAddSiteClick()
{
    Ui::TdlgSite& d = m_dlgSite->Form();
    d.edtHost->clear();
    d.edtUser->clear();
    d.edtPassword->clear();
    d.edtAlias->clear();
    m_dlgSite->ShowOptions({});
    if (m_dlgSite->exec() != QDialog::Accepted)
        return;
    if (!AliasAndHostGiven(d)) {
        m_prompter.ShowMessage(kMsgEnterAliasAndHost);
        return;
    }
    SiteRecord record;
    if (!RecordFromDialog(*m_dlgSite, record)) {
        Report("The site does not fit in the site book; nothing was stored.");
        return;
    }
    // The slot is chosen only now: a timer tick may have read the book while
    // the dialog was open.
    std::string error;
    if (!m_sites.Book().Add(record, &error)) {
        Report(error);
        return;
    }
    FillSiteList();
    if (m_ui->ComboBox1->count() > 0)
        m_ui->ComboBox1->setCurrentIndex(0);
}

void Tmainform::btnEditSiteClick()
{
    std::optional<SiteEntry> entry = FindSelectedSite();
    if (!entry || entry->Record.Alias().empty()) {
        m_prompter.ShowMessage(kMsgNoSiteDefined);
        return;
    }
    Ui::TdlgSite& d = m_dlgSite->Form();
    const SiteRecord& r = entry->Record;
    m_dlgSite->ForgetBytes();
    m_dlgSite->ShowBytes(d.edtAlias, r.Alias());
    m_dlgSite->ShowBytes(d.edtHost, r.HostName());
    m_dlgSite->ShowBytes(d.edtUser, r.UserName());
    m_dlgSite->ShowBytes(d.edtPassword, r.Password());
    m_dlgSite->ShowBytes(d.edtPort, r.Port());
    m_dlgSite->ShowBytes(d.edtDefaultDir, r.RemoteDir());
    m_dlgSite->ShowOptions(r.Reserved());
    if (m_dlgSite->exec() != QDialog::Accepted)
        return;
    // An edit that empties the alias or host would leave a site that can be
    // neither edited nor told apart; refuse it as an add does.
    if (!AliasAndHostGiven(d)) {
        m_prompter.ShowMessage(kMsgEnterAliasAndHost);
        return;
    }
    SiteRecord record = entry->Record; // LocalDir unchanged; Reserved unless an option changed
    if (!RecordFromDialog(*m_dlgSite, record)) {
        Report("The site does not fit in the site book; nothing was stored.");
        return;
    }
    std::string error;
    if (!m_sites.Book().Rewrite(entry->Position, record, &error)) {
        Report(error);
        return;
    }
    if (record.Alias() != entry->Record.Alias()) {
        // The list shows aliases: rebuild it, keeping the edited site selected.
        FillSiteList();
        SelectSiteAt(entry->Position);
    }
}

void Tmainform::btnDeleteSiteClick()
{
    // Nothing selected means nothing to delete (an empty alias must not
    // match a record by accident).
    if (m_ui->ComboBox1->currentIndex() < 0)
        return;
    std::optional<SiteEntry> entry = FindSelectedSite();
    if (!entry)
        return;
    SiteRecord record = entry->Record;
    record.SetAlias(kDeletedAlias);
    std::string error;
    if (!m_sites.Book().Rewrite(entry->Position, record, &error)) {
        Report(error);
        return;
    }
    FillSiteList();
    m_ui->ComboBox1->setCurrentIndex(-1);
}

// ---------------------------------------------------------------- languages

void Tmainform::LanguageSelection()
{
    const bool english = m_settings.English();
    for (const CaptionRow& row : MainCaptions()) {
        const QString name = QString::fromLatin1(row.Component);
        const QString text = QString::fromUtf8(Text(row, english));
        const std::string property = row.Property;
        if (name == QLatin1String("mainform")) {
            setWindowTitle(text);
            continue;
        }
        if (property.rfind("column", 0) == 0) {
            if (auto* view = findChild<TDirView*>(name))
                view->SetColumnCaption(std::stoi(property.substr(6)), text);
            continue;
        }
        QObject* target = findChild<QObject*>(name);
        if (auto* action = qobject_cast<QAction*>(target)) {
            property == "hint" ? action->setToolTip(text) : action->setText(text);
        } else if (auto* menu = qobject_cast<QMenu*>(target)) {
            property == "hint" ? menu->setToolTip(text) : menu->setTitle(text);
        } else if (auto* button = qobject_cast<QAbstractButton*>(target)) {
            property == "hint" ? button->setToolTip(text) : button->setText(text);
        } else if (auto* label = qobject_cast<QLabel*>(target)) {
            property == "hint" ? label->setToolTip(text) : label->setText(text);
        } else if (auto* box = qobject_cast<QGroupBox*>(target)) {
            property == "hint" ? box->setToolTip(text) : box->setTitle(text);
        }
    }
    // Longer captions ("Son Değiştirilme") must not be cut either.
    if (dirview().Count() > 0)
        FitRemoteColumns();
    SetAccessibleNames();
}

void Tmainform::SetAccessibleNames()
{
    const bool english = m_settings.English();
    // An icon-only button is read by its hint, in the language of the hint.
    for (QAbstractButton* button : findChildren<QAbstractButton*>()) {
        auto* tool = qobject_cast<QToolButton*>(button);
        const bool iconOnly = button->text().isEmpty() || (tool && tool->toolButtonStyle() == Qt::ToolButtonIconOnly);
        if (iconOnly && !button->toolTip().isEmpty())
            button->setAccessibleName(button->toolTip());
    }
    for (const DialogLabel& row : AccessibleNames()) {
        if (auto* widget = findChild<QWidget*>(QString::fromLatin1(row.Control)))
            widget->setAccessibleName(QString::fromUtf8(Text(row, english)));
    }
    const QString remote = m_ui->dirview->accessibleName();
    m_ui->dirview->DetailsView()->setAccessibleName(remote);
    m_ui->dirview->IconView()->setAccessibleName(remote);
}

void Tmainform::Turkish1Click()
{
    m_settings.LanguageName = kLanguageTurkish;
    LanguageSelection();
    m_queueView->Changed(true); // the failed marks in the new language
}

void Tmainform::English1Click()
{
    m_settings.LanguageName = kLanguageEnglish;
    LanguageSelection();
    m_queueView->Changed(true); // the failed marks in the new language
}

// ---------------------------------------------------------------- local pane

void Tmainform::NewDirectory1Click()
{
    m_ui->LsFilelistView281->NewFolder();
}
void Tmainform::btnCliNewFolderClick()
{
    m_ui->LsFilelistView281->NewFolder();
}
void Tmainform::RenameLocalClick()
{
    m_ui->LsFilelistView281->RenameSelected();
}
void Tmainform::Delete3Click()
{
    m_ui->LsFilelistView281->DeleteSelected();
}
void Tmainform::btnCliDeleteClick()
{
    m_ui->LsFilelistView281->DeleteSelected();
}

} // namespace app
