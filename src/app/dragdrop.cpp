// Drag and drop between the panes and from file managers, the clipboard
// commands of both panes, and the download of a pasted web address.
#include "app/ftp_main.hpp"

#include "app/WindowHelpers.hpp"
#include "app/core/HttpResume.hpp"
#include "app/core/LocalCopy.hpp"
#include "app/core/Paths.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/Settings.hpp"
#include "app/dirview.hpp"
#include "ftp/FtpCli.hpp"
#include "http/HttpProt.hpp"
#include "http/HttpStream.hpp"
#include "ui/FileDropFormats.hpp"
#include "ui/LsFilelistView28.hpp"

#include "ui_mainform.h"

#include <QClipboard>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QListView>
#include <QTreeView>

#include <sys/stat.h>

#include <filesystem>
#include <memory>

namespace app {

namespace {

constexpr const char* kNotConnectedNote = "NOT CONNECTED YET. PLEASE CLICK ON CONNECT BUTTON TO ESTABLISH CONNECTION.";
// The overwrite question's buttons; Ignore skips the file (a local copy does not resume).
constexpr const char* kReplaceQuestion
    = "Press OK to Overwrite the file, ALL to overwrite all, IGNORE to skip it, CANCEL to cancel the operation";

std::string FileNameOf(const QString& path)
{
    return QFileInfo(path).fileName().toStdString();
}


} // namespace

bool Tmainform::RequireLogIn()
{
    if (m_conn.LoggedIn != 0)
        return true;
    SetStatusText(0, QStringLiteral("Not connected yet."));
    AddList(kNotConnectedNote);
    return false;
}

void Tmainform::StartQueueProgress(int count)
{
    m_ui->ProgressBar1->setMinimum(0);
    // 0 to 0 would turn the bar into a busy indicator that never ends.
    m_ui->ProgressBar1->setMaximum(std::max(count - 1, 1));
    m_ui->ProgressBar1->setValue(0);
}

// ---------------------------------------------------------------- drops between the panes

void Tmainform::dirviewDragDrop(const QStringList& localNames)
{
    ClearStop();
    if (!RequireLogIn())
        return;
    SetStatusText(0, QStringLiteral("Files dropped. Uploading..."));
    AddList("Files are to be copied. Please wait.");
    const QString folder = m_ui->LsFilelistView281->Directory();
    StartQueueProgress(int(localNames.size()));
    int index = 0;
    for (const QString& name : localNames) {
        m_ui->ProgressBar1->setValue(index++);
        // Full paths in the list's folder: the process's current folder
        // (the scratch folder after a Copy) decides nothing.
        QueueUpload(QDir(folder).filePath(name).toStdString(), FileNameOf(name));
    }
    SetStatusText(0, QString());
    RunDroppedEntries(true, [this] {
        if (m_conn.LoggedIn != 0)
            GetDir(dirview(), [this] {
                AddList("DIRECTORY LISTING IS FINISHED.");
                m_log.ScrollToEnd();
            });
        else
            m_log.ScrollToEnd();
    });
}

// Runs what a drop queued and says how it ended: a Cancel or a lost session
// left entries undone, and nothing claims they were done.
void Tmainform::RunDroppedEntries(bool upload, std::function<void()> then)
{
    if (QueueRunning()) {
        AddList(std::string("Files are queued; the transfer in progress ") + (upload ? "uploads" : "downloads") + " them.");
        if (then)
            then();
        return;
    }
    ProcessQueue([this, upload, then = std::move(then)](const TransferRunSummary& run) {
        if (StopRequested() || run.Interrupted)
            AddList(upload ? "Upload is stopped." : "Download is stopped.");
        else if (run.Failed == 0)
            AddList(upload ? "Files were uploaded." : "Files were downloaded.");
        if (then)
            then();
    });
}

void Tmainform::LsFilelistView281DragDrop()
{
    ClearStop();
    if (!RequireLogIn())
        return;
    AddList("Files are to be copied. Please wait.");
    // Each selected item is queued once, whether or not a run is in
    // progress (which then performs the new entries).
    QueueforDownload();
    RunDroppedEntries(false, [this] {
        m_log.ScrollToEnd();
        m_ui->LsFilelistView281->Reload();
    });
}

void Tmainform::ShellFilesDropped(const QStringList& paths)
{
    ClearStop();
    if (m_conn.LoggedIn == 0)
        return;
    SetStatusText(0, QStringLiteral("Files dropped. Uploading..."));
    StartQueueProgress(int(paths.size()));
    int index = 0;
    for (const QString& path : paths) {
        m_ui->ProgressBar1->setValue(index++);
        QueueUpload(path.toStdString(), FileNameOf(path));
    }
    SetStatusText(0, QString());
    AddList("DIRECTORY LISTING IS FINISHED.");
    ProcessQueue();
}

bool Tmainform::HandleDropEvent(QObject* watched, QEvent* event)
{
    const bool onRemote = watched == m_ui->dirview->DetailsView()->viewport()
        || watched == m_ui->dirview->IconView()->viewport();
    const bool onLocal = watched == m_ui->LsFilelistView281->viewport();
    if (!onRemote && !onLocal)
        return false;
    auto* drop = static_cast<QDropEvent*>(event);
    QObject* source = drop->source();
    const bool fromLocal = source == m_ui->LsFilelistView281;
    const bool fromRemote = source == static_cast<QObject*>(m_ui->dirview->DetailsView())
        || source == static_cast<QObject*>(m_ui->dirview->IconView());
    const bool fromOutside = !source && drop->mimeData()->hasUrls();
    const bool accepted = onRemote ? fromLocal || fromOutside : fromRemote || fromOutside;
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
        if (accepted) {
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
        } else {
            drop->ignore();
        }
        return true;
    }
    if (!accepted)
        return true;
    drop->setDropAction(Qt::CopyAction);
    drop->accept();
    // The drag's own loop is still on the stack: work once it has ended.
    // Only an outside drop is read: rows of our own remote list would be
    // downloaded by reading theirs.
    const QStringList dropped = fromOutside ? ui::ReadFileList(*drop->mimeData()) : QStringList();
    QStringList names;
    if (fromLocal) {
        // The parent entry and volumes are not files to send. Full paths: a
        // drop that waits for its turn must not depend on the folder shown then.
        for (QString path : m_ui->LsFilelistView281->SelectedPaths()) {
            if (path.size() > 1 && path.endsWith(QLatin1Char('/')))
                path.chop(1);
            names << path;
        }
    }
    // A drop waits for the action in flight; rows of the remote list are
    // refused, as the list may change meanwhile.
    const std::string key = "drop:" + QString::number(onRemote).toStdString() + ":"
        + (fromOutside ? dropped : names).join(QLatin1Char('\n')).toStdString();
    // Files of a file manager dropped on the local list wait like a local
    // paste: copied at once, they could replace a file the run is writing.
    const TActionPolicy policy = fromRemote ? apRefuse : apDefer;
    QMetaObject::invokeMethod(
        this,
        [this, onRemote, fromOutside, dropped, names, key, policy] {
            Gated(key, policy, [this, onRemote, fromOutside, dropped, names] {
                if (fromOutside && onRemote)
                    ShellFilesDropped(dropped);
                else if (fromOutside)
                    CopyDroppedFiles(dropped);
                else if (onRemote)
                    dirviewDragDrop(names);
                else
                    LsFilelistView281DragDrop();
            });
        },
        Qt::QueuedConnection);
    return true;
}

void Tmainform::dropEvent(QDropEvent* event)
{
    // Files from a file manager dropped anywhere else on the window.
    const QStringList paths = ui::ReadFileList(*event->mimeData());
    if (paths.isEmpty() || event->source())
        return;
    event->acceptProposedAction();
    const std::string key = "drop:1:" + paths.join(QLatin1Char('\n')).toStdString();
    QMetaObject::invokeMethod(
        this, [this, paths, key] { Gated(key, apDefer, [this, paths] { ShellFilesDropped(paths); }); },
        Qt::QueuedConnection);
}

void Tmainform::dragEnterEvent(QDragEnterEvent* event)
{
    if (!event->source() && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void Tmainform::CopyDroppedFiles(const QStringList& paths)
{
    // Files of a file manager dropped on the local list: copied into its folder.
    const std::string folder = m_ui->LsFilelistView281->Directory().toStdString();
    std::vector<std::pair<std::string, std::string>> copies;
    for (const QString& path : paths)
        copies.emplace_back(path.toStdString(), JoinPath(folder, FileNameOf(path)));
    CopyToLocalPane(copies);
}

QStringList Tmainform::FetchDraggedFiles()
{
    // Rows dropped on a file manager: downloaded into the scratch folder, as
    // Remote Copy does, when the file manager asks for the drag's data.
    if (!RequireLogIn())
        return {};
    WaitCursor hourglass;
    return DownloadSelectionToTemp();
}

QStringList Tmainform::DownloadSelectionToTemp()
{
    // The one wait of the window: the file manager that asked for the
    // drag's data needs it before this returns (the walk, then the copies). The busy gate is held, so
    // nothing the loop runs meanwhile starts another action.
    bool done = false;
    QStringList paths;
    const ActionGate::Scope busy = m_engine.Gate.Hold();
    DownloadToTemp(false, [&](const std::vector<std::string>& fetched) {
        for (const std::string& path : fetched)
            paths << QString::fromStdString(path);
        done = true;
    });
    while (!done && (m_pane.Walking() || QueueRunning()) && !m_life.Destroyed)
        platform::ApplicationPump().WaitMessage(100), platform::ApplicationPump().ProcessMessages();
    return paths;
}

// ---------------------------------------------------------------- clipboard

void Tmainform::Copy1Click()
{
    SetStatusText(0, QStringLiteral("Copying files to clipboard. Please do not copy/paste while processing"));
    // Refused while the queue runs: the clipboard keeps what it held.
    DownloadToTemp(false, [this](const std::vector<std::string>& fetched) {
        QStringList paths;
        for (const std::string& path : fetched)
            paths << QString::fromStdString(path);
        auto* data = new QMimeData;
        ui::WriteFileList(*data, paths, true);
        QGuiApplication::clipboard()->setMimeData(data);
        AddList("Finished copying. You may now paste files to your disk");
    });
}

void Tmainform::PasteServerClick()
{
    ClearStop();
    if (!RequireLogIn())
        return;
    SetStatusText(0, QStringLiteral("Uploading..."));
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    const QStringList paths = data ? ui::ReadFileList(*data) : QStringList();
    const auto finish = [this](bool interrupted) {
        if (m_conn.LoggedIn != 0)
            GetDir(dirview(), [this, interrupted] {
                AddList("DIRECTORY LISTING IS FINISHED.");
                if (!interrupted)
                    SetStatusText(0, QStringLiteral("Done."));
            });
    };
    if (paths.isEmpty()) {
        const QString text = QGuiApplication::clipboard()->text().left(260);
        SetStatusText(0, text);
        HTTPReceive(text.toStdString());
        finish(false);
        return;
    }
    m_log.Clear();
    StartQueueProgress(int(paths.size()));
    // One path at a time: each is queued and run before the next is read.
    auto next = std::make_shared<std::function<void(int)>>();
    *next = [this, paths, finish, weak = std::weak_ptr<std::function<void(int)>>(next)](int index) {
        if (index >= paths.size())
            return finish(false);
        m_ui->ProgressBar1->setValue(index);
        QueueUpload(paths[index].toStdString(), FileNameOf(paths[index]));
        const auto self = weak.lock();
        ProcessQueue([this, self, index, finish](const TransferRunSummary& run) {
            // Stop, or Cancel at a question, ends the whole paste.
            if (StopRequested() || run.Interrupted)
                return finish(true);
            (*self)(index + 1);
        });
    };
    (*next)(0);
}

void Tmainform::Copy3Click()
{
    const ui::TLsFilelistView28& files = *m_ui->LsFilelistView281;
    QStringList paths = files.SelectedPaths();
    for (QString& path : paths) {
        if (path.size() > 1 && path.endsWith(QLatin1Char('/')))
            path.chop(1);
    }
    auto* data = new QMimeData;
    ui::WriteFileList(*data, paths, false);
    QGuiApplication::clipboard()->setMimeData(data);
    SetStatusText(0, QStringLiteral("Finished copying. You may now paste files to your server."));
}

void Tmainform::Paste3Click()
{
    if (!RequireLogIn())
        return;
    const QString folder = m_ui->LsFilelistView281->Directory();
    QDir::setCurrent(folder);
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    const QStringList paths = data ? ui::ReadFileList(*data) : QStringList();
    std::string scratch = ScratchDir();
    std::vector<std::pair<std::string, std::string>> copies;
    for (const QString& path : paths) {
        // A copy from the scratch folder keeps its name below it; anything
        // else (a file manager's copy) keeps its own file name.
        std::string source = path.toStdString();
        std::string name = source.rfind(scratch + "/", 0) == 0 ? source.substr(scratch.size() + 1) : FileNameOf(path);
        if (name.empty() || !IsWalkableName(FileNameOf(QString::fromStdString(name))))
            continue;
        copies.emplace_back(source, JoinPath(folder.toStdString(), name));
    }
    const TLocalCopyResult result = CopyToLocalPane(copies);
    AddList(StopRequested() || result == lcCancelled ? "Download is stopped."
            : result == lcCopied                     ? "Files were downloaded."
                                                     : "Not every file was copied.");
    m_log.ScrollToEnd();
}

TLocalCopyResult Tmainform::CopyToLocalPane(const std::vector<std::pair<std::string, std::string>>& copies)
{
    LocalCopy copy;
    copy.OnExists = [this](const std::string& target) {
        return m_prompter.Confirm("\"" + target + "\" already exists. " + kReplaceQuestion,
            { ansOK, ansCancel, ansIgnore, ansAll });
    };
    copy.OnNote = [this](const std::string& note) { AddList(note); };
    TLocalCopyResult worst = lcCopied;
    for (const auto& [source, target] : copies) {
        const TLocalCopyResult result = copy.Copy(source, target);
        if (result != lcCopied)
            worst = result;
        if (result == lcIntoItself) {
            std::error_code ec;
            const bool folder = std::filesystem::is_directory(std::filesystem::symlink_status(source, ec));
            m_prompter.ShowMessage("\"" + source + "\" cannot be copied "
                    + (folder ? "into itself or its own sub-folder." : "onto itself."),
                mkWarning);
        }
        if (copy.Cancelled())
            break;
    }
    m_ui->LsFilelistView281->Reload();
    return copy.Cancelled() ? lcCancelled : worst;
}

// ---------------------------------------------------------------- a pasted web address

void Tmainform::HTTPReceive(const std::string& text)
{
    const bool english = m_settings.English();
    if (text.find("http://") == std::string::npos && text.find("https://") == std::string::npos) {
        SetStatusText(0, QString::fromUtf8(Message(msgNotHttpFile, english)));
        return;
    }
    std::string proposed = text.substr(text.rfind('/') + 1);
    const std::optional<std::string> chosen = m_prompter.SaveFileName(proposed, LocalListFolder());
    if (!chosen) {
        SetStatusText(0, QString()); // nothing was downloaded
        return;
    }
    struct stat st { };
    const bool exists = ::stat(chosen->c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const std::int64_t have = exists ? std::int64_t(st.st_size) : 0;
    http::THttpCli& h = *m_HttpCli1;
    h.SetURL(text);
    h.SetContentRangeBegin(std::to_string(have));
    std::string failure; // the local file could not be opened
    // The file is opened only once the final reply says what it gets: an
    // error page, a refused range or a redirect's body never reach it.
    std::unique_ptr<http::TFileStream> stream;
    bool opened = false;
    h.OnDocBegin = [&](http::THttpCli* sender) {
        sender->SetBodyOutStream(nullptr);
        stream.reset();
        const THttpResume action = HttpResumeAction(sender->ReplyStatus(), have, ReplyContentRange(*sender));
        if (action != hrRewrite && action != hrAppend)
            return;
        try {
            stream = std::make_unique<http::TFileStream>(*chosen,
                action == hrAppend && have > 0 ? http::TFileStream::fmAppend : http::TFileStream::fmCreate);
            sender->SetBodyOutStream(stream.get());
            opened = true;
        } catch (const std::exception& e) {
            failure = e.what();
            sender->Abort();
        }
    };
    h.OnDocData = [this](http::THttpCli* sender, const void*, int) {
        SetStatusText(0, QString::number(sender->BodyBytesRead()) + QStringLiteral(" bytes downloaded"));
    };
    std::string error;
    try {
        h.Get();
    } catch (const std::exception& e) {
        error = e.what();
    }
    h.SetBodyOutStream(nullptr);
    h.OnDocBegin = nullptr;
    h.OnDocData = nullptr;
    stream.reset();
    if (failure.empty()) {
        // Judged on the final reply, also when it had no body to begin.
        const THttpResume result = HttpResumeAction(h.ReplyStatus(), have, ReplyContentRange(h));
        if (result == hrKeep || (result != hrComplete && !error.empty())) {
            failure = h.ReplyStatus() > 0 ? std::to_string(h.ReplyStatus()) + " " + h.ReplyText() : error;
        } else if (result == hrRewrite && !opened) {
            // An empty document still replaces what was there.
            try {
                http::TFileStream empty(*chosen, http::TFileStream::fmCreate);
            } catch (const std::exception& e) {
                failure = e.what();
            }
        }
    }
    if (!failure.empty()) {
        SetStatusText(0, QString::fromStdString(failure));
        AddList("The download of \"" + text + "\" failed: " + failure);
        return;
    }
    SetStatusText(0, QString::fromUtf8(Message(msgDownloadComplete, english)));
}

std::string Tmainform::ReplyContentRange(const http::THttpCli& h)
{
    for (const std::string& line : h.ReplyHeaderLines()) {
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos
            && QString::fromStdString(line.substr(0, colon)).trimmed().toLower() == QLatin1String("content-range"))
            return line.substr(colon + 1);
    }
    return {};
}

} // namespace app
