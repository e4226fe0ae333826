// Remote file operations: quick and recursive delete, rename by dialog and
// in place, change of permissions (with its recursive walk), new folder and
// "Make Default Dir".
#include "app/ftp_main.hpp"

#include "app/WindowHelpers.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/Queue.hpp"
#include "app/dirview.hpp"
#include "ftp/FtpCli.hpp"

#include "ui_mainform.h"

#include <QComboBox>

#include <algorithm>

namespace app {

void Tmainform::Delete1Click()
{
    ftp::TFtpClient& c = *m_FtpClient1;
    const TRemoteModel& model = dirview().Model();
    std::vector<RemoteRow> selected;
    for (int row : dirview().SelectedRows())
        selected.push_back(model.Row(row));
    for (const RemoteRow& row : selected) {
        c.SetHostFileName(CommandName(row));
        Run(row.IsFolder() ? &ftp::TFtpClient::Rmd : &ftp::TFtpClient::Dele);
    }
    GetDir(dirview());
    AddList("DIRECTORY LISTING IS FINISHED.");
}

void Tmainform::DeleteFTP()
{
    ClearStop();
    if (!MakeSelectedList_Server(m_conn.CurrentRemoteDir, m_pane.ListView1()))
        return;
    std::vector<WalkedRow> rows;
    rows.reserve(m_pane.ListView1().size());
    for (const RemoteRow& row : m_pane.ListView1())
        rows.push_back({ row.name, row.IsFolder() });
    std::vector<std::string> lines, notes;
    BuildDeleteEntries(m_conn.CurrentRemoteDir, rows, lines, &notes);
    for (const std::string& note : notes)
        AddList(note);
    // A batch of its own: the queue's other entries do not run with it, and
    // a Cancel leaves no delete behind for a later run to ask about.
    const int batch = NewBatch();
    AppendQueue(lines, batch);
    ProcessBatch(batch);
}

void Tmainform::Delete2Click()
{
    DeleteFTP();
}

void Tmainform::Rename1Click()
{
    const std::vector<int> selected = dirview().SelectedRows();
    if (selected.empty())
        return;
    const std::string old = CommandName(dirview().Model().Row(selected.front()));
    const std::optional<std::string> name = m_prompter.InputQuery("Rename", "Enter new file name", old);
    if (!name || !MayRenameOnto(old, *name))
        return;
    m_FtpClient1->SetHostFileName(old);
    m_FtpClient1->SetLocalFileName(*name);
    Run(&ftp::TFtpClient::Rename);
}

bool Tmainform::MayRenameOnto(const std::string& old, const std::string& name)
{
    if (name == old)
        return false; // nothing to do
    const std::vector<RemoteRow>& rows = dirview().Model().Rows();
    const bool taken = std::any_of(rows.begin(), rows.end(), [&](const RemoteRow& r) { return CommandName(r) == name; });
    // The server would replace the other file without a word.
    return !taken
        || m_prompter.Confirm("\"" + DisplayText(name) + "\" already exists. Press OK to replace it with \""
                   + DisplayText(old) + "\", CANCEL to cancel the operation.",
               { ansOK, ansCancel })
        == ansOK;
}

void Tmainform::RenameClick()
{
    Rename1Click();
}

bool Tmainform::dirviewEdited(int row, const std::string& text)
{
    if (row < 0 || row >= dirview().Model().rowCount())
        return false;
    const std::string old = CommandName(dirview().Model().Row(row));
    if (!MayRenameOnto(old, text))
        return false;
    m_FtpClient1->SetHostFileName(old);
    m_FtpClient1->SetLocalFileName(text);
    return Run(&ftp::TFtpClient::Rename);
}

void Tmainform::ChMod1Click()
{
    m_pane.SetChangeAll(false);
    ClearStop();
    const std::optional<std::string> mode
        = m_prompter.InputQuery("Change Mode", "Change mode string:(i.e. 777)", "");
    if (!mode)
        return;
    if (!IsValidModeText(*mode)) {
        m_prompter.ShowMessage("\"" + *mode + "\" is not a mode: give three or four octal digits, such as 755.",
            mkWarning);
        return;
    }
    if (dirview().SelectedRows().empty() && dirview().FocusedRow() >= 0)
        dirview().SelectRow(dirview().FocusedRow());
    std::vector<std::pair<std::string, bool>> entries;
    for (int row : dirview().SelectedRows()) {
        const RemoteRow& r = dirview().Model().Row(row);
        entries.emplace_back(CommandName(r), r.IsFolder());
    }
    ftp::TFtpClient& c = *m_FtpClient1;
    m_pane.BeginModeWalk(m_conn.CurrentRemoteDir);
    for (const auto& [name, folder] : entries) {
        if (m_pane.ModeWalkLost())
            return;
        TAnswer answer = ansOK;
        if (folder) {
            answer = m_pane.ChangeAll() ? ansAll
                                 : m_prompter.Confirm("Press OK to change permission of the selected directory, ALL "
                                                      "to also change subdirectories and files in it, CANCEL to "
                                                      "cancel the operation",
                                     { ansOK, ansCancel, ansAll });
        }
        if (answer == ansCancel)
            return;
        if (answer == ansAll) {
            m_pane.SetChangeAll(true);
            MarkFiles(name, folder, *mode);
            continue;
        }
        c.SetHostFileName(name);
        c.SetChmodMode(*mode);
        Run(&ftp::TFtpClient::SiteChmod);
    }
}

void Tmainform::MarkFiles(const std::string& name, bool folder, const std::string& mode)
{
    if (StopRequested() || m_pane.ModeWalkLost())
        return;
    const ActionGate::Scope busy = m_engine.Gate.Hold();
    const bool timerWasActive = m_timer1.isActive();
    m_timer1.stop();
    m_pane.MarkFiles(name, folder, mode);
    if (timerWasActive && !m_life.Destroyed)
        m_timer1.start();
}

void Tmainform::btnNewFolderClick()
{
    const std::optional<std::string> name = m_prompter.InputQuery("Make Directory", "Directory Name:", "");
    if (!name)
        return;
    m_FtpClient1->SetHostFileName(*name);
    Run(&ftp::TFtpClient::Mkd);
    GetDir(dirview());
    AddList("DIRECTORY LISTING IS FINISHED.");
}

void Tmainform::NewFolder3Click()
{
    btnNewFolderClick();
}

void Tmainform::MakeDefaultDir1Click()
{
    const std::string* alias = m_sites.SelectedAlias();
    if (!alias)
        return;
    std::string error;
    if (m_sites.Book().UpdateRemoteDir(*alias, m_conn.CurrentRemoteDir, &error) == sbrFailed)
        Report(error);
}

} // namespace app
