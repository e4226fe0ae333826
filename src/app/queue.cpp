// The transfer queue: its lines, the queue file, running it entry by entry
// with the overwrite question and resume, the builders that append uploads
// and downloads, the download into the scratch folder, and the progress.
#include "app/ftp_main.hpp"

#include "app/WindowHelpers.hpp"
#include "app/core/Paths.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/Queue.hpp"
#include "app/dirview.hpp"
#include "app/options.hpp"
#include "ftp/FtpCli.hpp"
#include "platform/EventLoop.hpp"
#include "ui/LsFilelistView28.hpp"

#include "ui_mainform.h"
#include "ui_pagesdlg.h"

#include <QDesktopServices>
#include <QDir>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTextCursor>
#include <QUrl>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace app {

namespace {

constexpr const char* kOverwriteQuestion
    = "Press OK to Overwrite the file, ALL to overwrite all, IGNORE to Resume it, CANCEL to cancel the operation";

std::int64_t LocalSize(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? std::int64_t(st.st_size) : -1;
}

bool IsFolder(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentPath(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// "/a//b/" and "/a/b" name the same folder.
std::string FolderKey(const std::string& path)
{
    std::string key;
    for (char ch : path) {
        if (ch != '/' || key.empty() || key.back() != '/')
            key += ch;
    }
    while (key.size() > 1 && key.back() == '/')
        key.pop_back();
    return key;
}

std::string Clock(double seconds)
{
    const long s = std::lround(seconds);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

} // namespace

// ---------------------------------------------------------------- the queue's lines

void Tmainform::ShowQueue()
{
    QStringList lines;
    lines.reserve(qsizetype(m_queue.size()));
    for (const std::string& line : m_queue)
        lines << ShownText(line);
    m_queueViewAdds.clear();
    m_queueViewDrops = 0;
    m_ui->lbQueue->setPlainText(lines.join(QLatin1Char('\n')));
}

// Only the changes go in, in one edit: rebuilding or editing the box per
// entry cost more than the transfers of small files.
void Tmainform::FlushQueueView()
{
    QPlainTextEdit& box = *m_ui->lbQueue;
    if (!m_queueViewAdds.isEmpty())
        box.appendPlainText(m_queueViewAdds.join(QLatin1Char('\n')));
    m_queueViewAdds.clear();
    RemoveFirstLines(box, std::exchange(m_queueViewDrops, 0));
}

bool Tmainform::SaveQueue()
{
    std::string error;
    if (m_queueFile->Save(m_queue, &error))
        return true;
    AddList(error);
    Report(error);
    return false;
}

void Tmainform::AppendQueue(const std::vector<std::string>& lines)
{
    if (lines.empty())
        return;
    m_queue.insert(m_queue.end(), lines.begin(), lines.end());
    // New entries are on disk before anything is done with them.
    SaveQueue();
    for (const std::string& line : lines)
        m_queueViewAdds << ShownText(line);
    if (!m_viewFlush.isActive())
        m_viewFlush.start();
}

bool Tmainform::FinishQueueEntry()
{
    const bool connected = Connected();
    if (connected && !m_queue.empty()) {
        m_queue.erase(m_queue.begin());
        ++m_queueViewDrops;
        if (!m_viewFlush.isActive())
            m_viewFlush.start();
    }
    SaveQueue();
    return connected;
}

void Tmainform::Clear1Click()
{
    if (m_queueRunning) {
        // The running entry stays; the rest goes.
        m_queue.resize(std::min<std::size_t>(m_queue.size(), 1));
    } else {
        m_queue.clear();
    }
    // A cleared queue must stay cleared: written now, not with the next finished entry.
    std::string error;
    if (SaveQueue() && !m_queueFile->Flush(&error))
        Report(error);
    ShowQueue();
}

void Tmainform::btnQueueClick()
{
    m_StopRequested = false;
    ProcessQueue();
}

void Tmainform::UploadQueue1Click()
{
    ProcessQueue();
}

// ---------------------------------------------------------------- running it

void Tmainform::ProcessQueue()
{
    // A second action while the queue runs only appends: the run in
    // progress performs the new entries, and the head is never done twice.
    if (m_queueRunning)
        return;
    const ActionGate::Scope busy = m_gate.Hold();
    m_queueRunning = true;
    const bool timerWasActive = m_timer1.isActive();
    m_timer1.stop();
    const bool listAtEnd = RunQueue();
    m_queueRunning = false;
    m_madeDirs.clear();
    m_putPaths.clear();
    m_listedSizes.clear();
    // The disk flush is left to the idle timer.
    std::string error;
    if (!m_queueFile->WriteOut(&error))
        Report(error);
    m_ui->ProgressBar2->setValue(0);
    if (listAtEnd)
        GetDir(dirview());
    if (timerWasActive && !m_destroyed)
        m_timer1.start();
}

bool Tmainform::RunQueue()
{
    ftp::TFtpClient& c = *m_FtpClient1;
    m_QueueTotal = int(m_queue.size());
    while (!m_queue.empty()) {
        m_QueueRemaining = int(m_queue.size());
        // Entries appended during the run count too.
        m_QueueTotal = std::max(m_QueueTotal, m_QueueRemaining);
        const std::string line = m_queue.front();
        const QueueEntry entry = SplitQueueLine(line);
        const bool blank = QString::fromStdString(line).trimmed().isEmpty();
        if (blank || (entry.Op != 'U' && entry.Op != 'D' && entry.Op != 'R')) {
            if (!FinishQueueEntry())
                break;
            continue;
        }
        if (m_StopRequested)
            break;
        const bool binary = m_pagesDlg->Form().rdbBinary->isChecked();
        if (entry.Op == 'U') {
            if (IsFolder(entry.Local)) {
                c.SetHostFileName(entry.Remote);
                // Only absolute paths: a relative one depends on where the server stands.
                if (Run(&ftp::TFtpClient::Mkd) && !entry.Remote.empty() && entry.Remote.front() == '/')
                    m_madeDirs.insert(FolderKey(entry.Remote));
            } else {
                c.SetPassive(m_PassiveMode != "NO");
                SendTypeFor(binary);
                c.SetHostDirName({});
                c.SetHostFileName(entry.Remote);
                c.SetLocalFileName(entry.Local);
                StartProgress(LocalSize(entry.Local));
                // A folder this run made holds only what this run put there:
                // no need to ask the server whether the file exists.
                const bool fresh = m_madeDirs.count(FolderKey(ParentPath(entry.Remote))) != 0
                    && m_putPaths.insert(entry.Remote).second;
                if (m_AnswerAll || fresh) {
                    Run(&ftp::TFtpClient::Put);
                } else if (Run(&ftp::TFtpClient::Size)) {
                    switch (AskOverwrite()) {
                    case ansAll:
                    case ansOK:
                        Run(&ftp::TFtpClient::Put);
                        break;
                    case ansIgnore:
                        ResumeUpload(entry);
                        break;
                    case ansCancel:
                        FinishQueueEntry();
                        return false;
                    }
                } else {
                    Run(&ftp::TFtpClient::Put);
                }
            }
        } else if (entry.Op == 'D') {
            if (entry.Kind == "D") {
                std::string error;
                if (entry.Local.empty() || !MakeDirs(entry.Local, 0777, &error))
                    AddList(entry.Local.empty() ? std::string("Unable to create directory") : error);
            } else if (!Download(entry)) {
                return false; // Cancel: the entry stays, nothing is listed
            }
        } else {
            c.SetHostFileName(entry.Remote);
            TAnswer answer = ansOK;
            if (!m_AnswerAll) {
                answer = m_prompter.Confirm(std::string(entry.Kind == "D" ? "Press OK to Delete the directory "
                                                                          : "Press OK to Delete the file ")
                        + "\"" + entry.Remote + "\", All to delete all you have selected",
                    { ansOK, ansCancel, ansAll });
                if (answer == ansCancel) {
                    FinishQueueEntry();
                    return false;
                }
                if (answer == ansAll)
                    m_AnswerAll = true;
            }
            Run(entry.Kind == "D" ? &ftp::TFtpClient::Rmd : &ftp::TFtpClient::Dele);
        }
        if (!FinishQueueEntry())
            break;
        platform::ApplicationPump().ProcessMessages();
    }
    return true;
}

void Tmainform::SendTypeFor(bool binary)
{
    // TYPE only when it changes: one per file doubled the round trips of small files.
    if (m_typeSent == int(binary))
        return;
    m_FtpClient1->SetBinary(binary);
    m_typeSent = Run(&ftp::TFtpClient::SendType) ? int(binary) : -1;
}

TAnswer Tmainform::AskOverwrite()
{
    const TAnswer answer = m_prompter.Confirm(kOverwriteQuestion, { ansOK, ansCancel, ansIgnore, ansAll });
    // All answers this question and every later one.
    if (answer == ansAll)
        m_AnswerAll = true;
    return answer;
}

void Tmainform::ResumeUpload(const QueueEntry& entry)
{
    // The server's file is the part already sent: go on from its end.
    ftp::TFtpClient& c = *m_FtpClient1;
    const std::int64_t sent = c.SizeResult(), local = LocalSize(entry.Local);
    if (local >= 0 && sent >= local) {
        AddList("\"" + entry.Remote + "\" is already complete (" + std::to_string(sent) + " bytes).");
        return;
    }
    c.SetResumeAt(sent);
    Run(&ftp::TFtpClient::RestartPut);
}

bool Tmainform::Download(const QueueEntry& entry)
{
    ftp::TFtpClient& c = *m_FtpClient1;
    c.SetHostDirName({});
    c.SetHostFileName(entry.Remote);
    c.SetLocalFileName(entry.Local);
    c.SetPassive(m_PassiveMode != "NO");
    SendTypeFor(m_pagesDlg->Form().rdbBinary->isChecked());
    const std::int64_t localSize = LocalSize(entry.Local);
    // Without a local file the listing's size is enough for the progress;
    // a resume needs the server's own.
    const auto listed = localSize < 0 ? m_listedSizes.find(entry.Remote) : m_listedSizes.end();
    std::int64_t remoteSize = -1;
    if (listed != m_listedSizes.end())
        remoteSize = listed->second;
    else if (Run(&ftp::TFtpClient::Size))
        remoteSize = c.SizeResult();
    StartProgress(remoteSize);
    if (m_AnswerAll || localSize < 0) {
        Run(&ftp::TFtpClient::Get);
        return true;
    }
    switch (AskOverwrite()) {
    case ansAll:
    case ansOK:
        Run(&ftp::TFtpClient::Get);
        break;
    case ansIgnore:
        // A REST at or past the end would fail or append garbage: the file is whole.
        if (remoteSize >= 0 && localSize >= remoteSize)
            AddList("\"" + entry.Local + "\" is already complete (" + std::to_string(localSize) + " bytes).");
        else
            Run(&ftp::TFtpClient::RestartGet);
        break;
    case ansCancel:
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- builders

void Tmainform::QueueUpload(const std::string& local, const std::string& remote)
{
    const ActionGate::Scope busy = m_gate.Hold(); // the walk of a big folder lets the window run
    const bool timerWasActive = m_timer1.isActive();
    m_timer1.stop();
    std::vector<std::string> lines, notes;
    BuildUploadEntries(local, remote, QDir::currentPath().toStdString(), m_CurrentRemoteDir, lines, &notes,
        [] { platform::ApplicationPump().ProcessMessages(); });
    for (const std::string& note : notes)
        AddList(note);
    AppendQueue(lines);
    if (timerWasActive && !m_destroyed)
        m_timer1.start();
}

void Tmainform::QueueforDownload()
{
    std::string base = QDir::currentPath().toStdString();
    if (base.empty() || base.back() != '/')
        base += '/';
    if (!MakeSelectedList_Server("", m_ListView1))
        return;
    std::vector<WalkedRow> rows;
    rows.reserve(m_ListView1.size());
    for (const RemoteRow& row : m_ListView1) {
        rows.push_back({ row.name, row.IsFolder() });
        // A link's listed size is the link's own.
        if (row.type == kTypeFile && (row.perms.empty() || row.perms[0] != 'l'))
            m_listedSizes[m_CurrentRemoteDir + "/" + row.name] = std::int64_t(row.bytes);
    }
    std::vector<std::string> lines, notes;
    BuildDownloadEntries(base, m_CurrentRemoteDir, rows, lines, &notes);
    for (const std::string& note : notes)
        AddList(note);
    AppendQueue(lines);
}

void Tmainform::DownloadToTemp()
{
    const ActionGate::Scope busy = m_gate.Hold();
    m_StopRequested = false;
    while (m_FtpClient1->State() >= ftp::ftpStateResolving) {
        platform::ApplicationPump().ProcessMessages();
        platform::Sleep(1);
    }
    m_DropFiles.clear();
    std::string error;
    const std::string scratch = ScratchDir(&error);
    if (!error.empty() || !QDir::setCurrent(QString::fromStdString(scratch))) {
        Report(error.empty() ? "Cannot open the folder \"" + scratch + "\"" : error);
        return;
    }
    std::vector<std::string> names;
    for (int row : dirview().SelectedRows())
        names.push_back(CommandName(dirview().Model().Row(row)));
    for (const std::string& name : names) {
        if (m_StopRequested)
            break;
        QueueforDownload();
        ProcessQueue();
        if (IsWalkableName(name))
            m_DropFiles.push_back(JoinPath(scratch, name));
    }
}

// ---------------------------------------------------------------- progress

void Tmainform::StartProgress(std::int64_t size)
{
    m_transferSize = size;
    m_transferClock.start();
    m_lastProgressMs = -1000;
}

void Tmainform::FtpClient1Progress(std::int64_t Count, bool& Abort)
{
    // Stop ends a file transfer whose data connection was still opening;
    // a listing is let finish, as half of one would show files missing.
    Abort = m_busy.StopTransfer && m_TransferCommand;
    if (!m_TransferCommand)
        return;
    const qint64 now = m_transferClock.isValid() ? m_transferClock.elapsed() : 0;
    // At most ten updates a second: a fast transfer must not spend its time painting.
    if (now - m_lastProgressMs < 100)
        return;
    m_lastProgressMs = now;
    std::string text = std::to_string(Count) + " bytes";
    if (m_transferSize > 0)
        text += " of " + std::to_string(m_transferSize);
    const std::int64_t moved = Count - m_FtpClient1->ResumeAt();
    if (now > 0 && moved > 0) {
        const double rate = double(moved) * 1000.0 / double(now);
        char speed[32];
        std::snprintf(speed, sizeof speed, ", %.1f MB/s", rate / 1e6);
        text += speed;
        if (m_transferSize > Count)
            text += ", " + Clock(double(m_transferSize - Count) / rate) + " left";
    }
    SetStatusText(1, QString::fromStdString(text));
    m_ui->ProgressBar2->setMinimum(0);
    m_ui->ProgressBar2->setMaximum(std::max(m_QueueTotal, 1));
    m_ui->ProgressBar2->setValue(m_QueueTotal - m_QueueRemaining);
}

void Tmainform::OpenLocalFile(const std::string& path)
{
    if (OnOpenFile) {
        OnOpenFile(path);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path))))
        AddList("No application opens \"" + path + "\".");
}

} // namespace app
