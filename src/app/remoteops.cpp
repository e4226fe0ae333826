// Remote file operations: quick and recursive delete, rename by dialog and
// in place, change of permissions (with its recursive walk), new folder and
// "Make Default Dir".
#include "app/ftp_main.hpp"

#include "app/WindowHelpers.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/Queue.hpp"
#include "app/dirview.hpp"
#include "app/session/RemoteSession.hpp"
#include "ftp/FtpCli.hpp"

#include "ui_mainform.h"

#include <QComboBox>

#include <algorithm>
#include <memory>

namespace app {

void Tmainform::RunEach(std::size_t count, std::function<void(std::size_t i, std::function<void()> next)> step,
    std::function<void()> then)
{
    // One session command after another, each started from the previous one's end.
    auto each = std::make_shared<std::function<void(std::size_t)>>();
    *each = [count, step = std::move(step), then = std::move(then), weak = std::weak_ptr(each)](std::size_t i) {
        if (i >= count) {
            if (then)
                then();
            return;
        }
        const auto self = weak.lock();
        step(i, [self, i] { (*self)(i + 1); });
    };
    // The chain holds itself until its last step has been started.
    const auto first = each;
    (*first)(0);
}

void Tmainform::Delete1Click()
{
    if (RemoteBusy())
        return;
    const TRemoteModel& model = dirview().Model();
    auto selected = std::make_shared<std::vector<RemoteRow>>();
    for (int row : dirview().SelectedRows())
        selected->push_back(model.Row(row));
    const auto release = HoldGate();
    RunEach(
        selected->size(),
        [this, selected](std::size_t i, std::function<void()> next) {
            const RemoteRow& row = (*selected)[i];
            const auto done = [this, next](const SessionResult& r) {
                CommandDone(r);
                next();
            };
            if (row.IsFolder())
                m_session->RemoveFolder(CommandName(row), done);
            else
                m_session->Delete(CommandName(row), done);
        },
        [this, release] {
            GetDir(dirview(), [this, release] {
                AddList("DIRECTORY LISTING IS FINISHED.");
                release();
            });
        });
}

void Tmainform::DeleteFTP()
{
    ClearStop();
    MakeSelectedList_Server(m_conn.CurrentRemoteDir, m_pane.ListView1(), [this] {
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
    });
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
    if (!name || !MayRenameOnto(old, *name) || RemoteBusy())
        return;
    m_session->Rename(old, *name, [this, release = HoldGate()](const SessionResult& r) {
        CommandDone(r);
        release();
    });
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
    if (!MayRenameOnto(old, text) || RemoteBusy())
        return false;
    // The row takes the new name now; a rename the server refuses lists the
    // folder again, so the row shows what is there.
    m_session->Rename(old, text, [this, release = HoldGate()](const SessionResult& r) {
        CommandDone(r);
        if (!r.Ok)
            GetDir(dirview());
        release();
    });
    return true;
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
    if (RemoteBusy())
        return;
    if (dirview().SelectedRows().empty() && dirview().FocusedRow() >= 0)
        dirview().SelectRow(dirview().FocusedRow());
    auto entries = std::make_shared<std::vector<std::pair<std::string, bool>>>();
    for (int row : dirview().SelectedRows()) {
        const RemoteRow& r = dirview().Model().Row(row);
        entries->emplace_back(CommandName(r), r.IsFolder());
    }
    const auto release = HoldGate();
    m_FtpClient1->SetPassive(m_settings.Transfer.Passive());
    m_pane.BeginModeWalk(m_conn.CurrentRemoteDir);
    auto cancelled = std::make_shared<bool>(false);
    RunEach(
        entries->size(),
        [this, entries, mode = *mode, cancelled](std::size_t i, std::function<void()> next) {
            const auto& [name, folder] = (*entries)[i];
            if (m_pane.ModeWalkLost() || *cancelled)
                return next();
            TAnswer answer = ansOK;
            if (folder) {
                answer = m_pane.ChangeAll() ? ansAll
                                     : m_prompter.Confirm("Press OK to change permission of the selected directory, ALL "
                                                          "to also change subdirectories and files in it, CANCEL to "
                                                          "cancel the operation",
                                         { ansOK, ansCancel, ansAll });
            }
            if (answer == ansCancel) {
                *cancelled = true;
                return next();
            }
            if (answer == ansAll) {
                m_pane.SetChangeAll(true);
                return m_pane.MarkFiles(name, folder, mode, next);
            }
            m_session->ChangeMode(name, mode, [this, next](const SessionResult& r) {
                CommandDone(r);
                next();
            });
        },
        [this, release] {
            m_pane.EndModeWalk();
            release();
        });
}

void Tmainform::MarkFiles(const std::string& name, bool folder, const std::string& mode)
{
    if (StopRequested() || m_pane.ModeWalkLost() || RemoteBusy())
        return;
    m_pane.BeginModeWalk(m_conn.CurrentRemoteDir);
    m_pane.MarkFiles(name, folder, mode, [this, release = HoldGate()] {
        m_pane.EndModeWalk();
        release();
    });
}

void Tmainform::btnNewFolderClick()
{
    const std::optional<std::string> name = m_prompter.InputQuery("Make Directory", "Directory Name:", "");
    if (!name || RemoteBusy())
        return;
    m_session->MakeFolder(*name, [this, release = HoldGate()](const SessionResult& r) {
        CommandDone(r);
        GetDir(dirview(), [this, release] {
            AddList("DIRECTORY LISTING IS FINISHED.");
            release();
        });
    });
}

void Tmainform::NewFolder3Click()
{
    btnNewFolderClick();
}

void Tmainform::MakeDefaultDir1Click()
{
    const std::string* found = m_sites.SelectedAlias();
    if (!found)
        return;
    const auto keep = [this, alias = *found](const std::string& folder) {
        std::string error;
        if (m_sites.Book().UpdateRemoteDir(alias, folder, &error) == sbrFailed)
            Report(error);
    };
    // The folder the server stands in; the shown one when it cannot be asked.
    if (!m_session->IsConnected() || m_engine.EngineWaits > 0 || m_session->Busy() || m_pane.Walking())
        return keep(m_conn.CurrentRemoteDir);
    m_session->CurrentFolder([this, keep, release = HoldGate()](const SessionResult& r, const std::string& folder) {
        keep(r.Ok && !folder.empty() ? folder : m_conn.CurrentRemoteDir);
        release();
    });
}

} // namespace app
