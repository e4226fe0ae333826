// Session control: connect and disconnect, the engine's session events, the
// log, the keep-alive timer with the reconnection, the raw command, and the
// proxy, options and about dialogs.
#include "app/ftp_main.hpp"

#include "app/QueueView.hpp"
#include "app/session/FtpSession.hpp"
#include "app/session/SftpSession.hpp"

#include "app/core/Captions.hpp"
#include "app/core/Paths.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/SessionLog.hpp"
#include "app/core/Settings.hpp"
#include "app/core/SiteOptions.hpp"
#include "app/WindowHelpers.hpp"
#include "app/dirview.hpp"
#include "app/hakkinda.hpp"
#include "app/options.hpp"
#include "app/proxy1.hpp"
#include "ftp/FtpCli.hpp"
#include "net/Tls.hpp"
#include "platform/EventLoop.hpp"
#include "ui/LsDirTreeCombo28.hpp"
#include "ui/LsFilelistView28.hpp"

#include "ui_mainform.h"
#include "ui_pagesdlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include <utility>

namespace app {

namespace {

// Lets the window and the sockets run for a moment.
void PumpOnce()
{
    platform::ApplicationPump().ProcessMessages();
}

} // namespace

void Tmainform::SetUpFtpClient()
{
    m_FtpClient1 = std::make_unique<ftp::TFtpClient>();
    ftp::TFtpClient& c = *m_FtpClient1;
    c.SetTimeout(0);
    c.SetMultiThreaded(true);
    c.SetPort("ftp");
    c.SetDataPortRangeStart(0);
    c.SetDataPortRangeEnd(0);
    c.SetLocalAddr("0.0.0.0");
    c.SetDisplayFileFlag(false);
    c.SetBinary(true);
    c.SetShareMode(ftp::ftpShareCompat);
    c.SetOptions(ftp::TFtpOptions { ftp::ftpAcceptLF });
    c.SetConnectionType(ftp::ftpDirect);
    c.SetRateLimits(m_engine.DownLimit, m_engine.UpLimit);
    UseFtpSession();
    m_queueView = std::make_unique<QueueView>(*this);
    m_scratch = std::make_unique<TransferQueue>(*m_queueView);
    c.OnCommand = [this](ftp::TCustomFtpCli*, std::string& command) { FtpClient1Command(command); };
    // A debugging aid the log leaves out unless asked: TALLOWIN_TRACE adds the
    // engine's state changes and steps to it.
    if (qEnvironmentVariableIsSet("TALLOWIN_TRACE"))
        c.OnTrace = [this](ftp::TCustomFtpCli*, const std::string& line) { AddList("trace: " + line); };
    c.OnBgException
        = [this](ftp::TCustomFtpCli*, const std::exception&, bool&) { FtpClient1BgException(); };
    c.OnCertificateCheck
        = [this](ftp::TCustomFtpCli*, const net::TCertInfo& info, bool& accept) { accept = CertificateCheck(info); };
    // The engine's refusals (a missing value, a busy engine) end the command
    // with their message instead of unwinding through the event loop.
    c.OnError = [this](ftp::TCustomFtpCli*, const std::string& message) { m_engine.NoteError(message); };
}

FtpSession* Tmainform::FtpSessionOf() const
{
    return dynamic_cast<FtpSession*>(m_session.get());
}

void Tmainform::UseSession(std::unique_ptr<RemoteSession> session)
{
    // The session that goes (an SFTP one) ends with its connection; nothing
    // of it reaches the window any more.
    if (m_session)
        m_session->SessionEvents() = {};
    // The queue's other connections belong to the session that goes.
    if (m_queueView)
        m_queueView->Pool().CloseAll(true);
    m_session = std::move(session);
    m_pane.SetSession(*m_session);
    RemoteSession::Events& events = m_session->SessionEvents();
    events.Connected = [this] { FtpClient1SessionConnected(); };
    events.Closed = [this] { FtpClient1SessionClosed(); };
    events.Ask = [this](const RemoteSession::Question& question, RemoteSession::Answer answer) {
        AskForSession(question, std::move(answer));
    };
}

void Tmainform::UseFtpSession()
{
    if (FtpSessionOf())
        return;
    // The session takes the engine's request-done, progress, session and
    // display events; the window hears them from the session.
    auto session = std::make_unique<FtpSession>(*m_FtpClient1, JoinPath(m_settings.ProgramDir, "ftpdir.txt"));
    UseSession(std::move(session));
    m_session->SessionEvents().Log = [this](const std::string& line) {
        if (m_conn.DisplaySwitched)
            Display(line);
        else
            FtpClient1Display(line);
    };
}

void Tmainform::AskForSession(const RemoteSession::Question& question, RemoteSession::Answer answer)
{
    // Asked from the event loop, never inside the session's own call.
    QMetaObject::invokeMethod(
        this,
        [this, question, answer = std::move(answer)] {
            const std::size_t cancel = question.Buttons.empty() ? 0 : question.Buttons.size() - 1;
            if (m_life.Closing || m_life.Destroyed)
                return answer(cancel, {});
            if (!question.Input)
                return answer(std::min(m_prompter.Choose(question.Text, question.Buttons), cancel), {});
            const std::string caption = m_session->Protocol();
            const std::optional<std::string> typed = question.Echo
                ? m_prompter.InputQuery(caption, question.Text, question.InputText)
                : m_prompter.SecretQuery(caption, question.Text);
            answer(typed ? 0 : cancel, typed.value_or(std::string()));
        },
        Qt::QueuedConnection);
}

void Tmainform::EndSessionNow()
{
    if (FtpSessionOf())
        m_FtpClient1->ftp::TCustomFtpCli::Abort();
    else
        m_session->Close(true);
}

bool Tmainform::Run(bool (ftp::TFtpClient::*operation)())
{
    const bool ending = operation == &ftp::TFtpClient::Abort || operation == &ftp::TFtpClient::Quit;
    if (ending && m_engine.EngineWaits > 0) {
        // Disconnect or an unexpected close inside a blocking call: the
        // call below returns once this has ended, and the window is still there.
        ++m_engine.EngineWaits;
        const bool ok = ((*m_FtpClient1).*operation)();
        --m_engine.EngineWaits;
        return ok;
    }
    if (!ending && (m_engine.EngineWaits > 0 || m_session->Busy() || m_life.Closing)) {
        // Something got past the gate inside a blocking call or while the
        // queue's request runs: the engine and its names belong to the call
        // in flight.
        m_engine.Refused = true;
        m_log.Replies.RawCommand = false;
        if (!m_life.Closing)
            SetStatusText(0, QString::fromUtf8(Message(msgBusyRefused, IsEnglish(m_settings.LanguageName))));
        return false;
    }
    const ActionGate::Scope busy = m_engine.Gate.Hold();
    m_engine.Error.clear();
    m_engine.Refused = false;
    ++m_engine.EngineWaits;
    const bool ok = ((*m_FtpClient1).*operation)();
    --m_engine.EngineWaits;
    m_engine.StopTransfer = false;
    m_log.Replies.RawCommand = false;
    ShowPendingWarnings();
    if (!m_engine.Error.empty()) {
        m_engine.Refused = true;
        Report(std::exchange(m_engine.Error, {}));
        return false;
    }
    return ok;
}

bool Tmainform::Connected() const
{
    return m_session->IsConnected();
}

// ---------------------------------------------------------------- the log

QStringList Tmainform::LogLines() const
{
    return const_cast<LogView&>(m_log).Lines();
}

void Tmainform::AddList(const std::string& text)
{
    m_log.Add(text);
}

void Tmainform::FtpClient1Display(const std::string& line)
{
    SetStatusText(0, ShownText(line));
}

void Tmainform::Display(const std::string& rawLine)
{
    // A refusal of a command the program sent on its own is only logged.
    const bool ownCommand = !m_log.Replies.RawCommand && rawLine.rfind("< ", 0) == 0
        && IsOwnInitiativeCommand(m_log.Replies.LastCommand);
    if (IsFailureLine(rawLine) && !ownCommand) {
        AddList("Action not taken. Please notice the error displayed below.");
        // The box waits until the engine has handled the reply: a modal loop
        // here would handle the next replies underneath it.
        m_log.Replies.PendingWarnings.push_back("Warning: " + rawLine);
        if (m_engine.EngineWaits == 0)
            QMetaObject::invokeMethod(this, [this] { ShowPendingWarnings(); }, Qt::QueuedConnection);
    }
    const std::string line = MaskedLine(rawLine);
    m_log.AddLine(line);
    const LineNotes notes = NotesFor(line);
    for (const char* note : notes.Note) {
        if (note)
            AddList(note);
    }
    if (notes.Status)
        SetStatusText(0, QString::fromUtf8(notes.Status));
    if (notes.LoggedIn) {
        m_conn.LoggedIn = 1;
        m_conn.ReconnectFailures = 0;
    }
}

void Tmainform::FtpClient1Command(const std::string& command)
{
    m_conn.TransferCommand = IsTransferCommand(command);
    m_log.Replies.LastCommand = command.substr(0, command.find(' ')); // the verb: never a password
}

void Tmainform::FtpClient1BgException()
{
    m_prompter.ShowMessage("exception", mkError);
}

// ---------------------------------------------------------------- session events

void Tmainform::FtpClient1SessionConnected()
{
    if (!FtpSessionOf()) {
        // An SSH session says so once it is logged in.
        m_conn.LoggedIn = 1;
        m_conn.ReconnectFailures = 0;
    }
    AddList("Trying To Connect");
    SetStatusText(0, QString());
    m_log.ScrollToEnd();
}

void Tmainform::FtpClient1SessionClosed()
{
    m_conn.ReconnectPending = false;
    m_conn.LoggedIn = 0;
    const bool english = IsEnglish(m_settings.LanguageName);
    AddList(Message(msgDisconnectedNote, english));
    SetStatusText(0, QString::fromUtf8(Message(msgDisconnectedStatus, english)));
    m_log.ScrollToEnd();
    if (m_conn.UserDisconnect)
        return;
    // Not asked for: settle the engine, then let the next tick reconnect.
    m_conn.ReconnectDir = m_conn.CurrentRemoteDir;
    if (!FtpSessionOf()) {
        m_conn.ReconnectPending = true;
        return;
    }
    Run(&ftp::TFtpClient::Abort);
    for (;;) {
        const ftp::TFtpState state = m_FtpClient1->State();
        if (state == ftp::ftpStateClosed || state == ftp::ftpStateReady || state == ftp::ftpStateStepReady)
            break;
        PumpOnce();
        platform::Sleep(1);
    }
    m_conn.ReconnectPending = true;
}

// ---------------------------------------------------------------- connect

void Tmainform::btnDisconnectClick()
{
    // Pressed while something runs: it stops where it is.
    if (m_engine.Gate.Busy()) {
        m_transfers->Stop();
        m_scratch->Stop();
    }
    Disconnect();
}

void Tmainform::Disconnect()
{
    // The queue's other connections belong to this session.
    m_queueView->Pool().CloseAll(true);
    m_conn.UserDisconnect = true;
    m_conn.ReconnectPending = false;
    if (!FtpSessionOf()) {
        // Closed follows from the event loop.
        m_session->Close(true);
        SetStatusText(0, QStringLiteral("Disconnected."));
        return;
    }
    if (Connected())
        Run(&ftp::TFtpClient::Abort);
    if (Connected())
        Run(&ftp::TFtpClient::Quit);
    SetStatusText(0, QStringLiteral("Disconnected."));
    while (Connected()) {
        PumpOnce();
        platform::Sleep(1);
    }
}

bool Tmainform::ConnectToSelectedSite(std::function<void()> then)
{
    const ActionGate::Scope busy = m_engine.Gate.Hold();
    Disconnect(); // the connect's own disconnect stops nothing
    m_conn.UserDisconnect = false;
    // A reconnection goes back to the server that was connected, whatever
    // the list shows now.
    if (!m_conn.Reconnecting || !m_conn.SessionSite) {
        const std::optional<SiteEntry> entry = FindSelectedSite();
        if (!entry || entry->Record.Alias().empty()) {
            m_prompter.ShowMessage(kMsgNoSiteDefined);
            return false;
        }
        m_conn.SessionSite = entry->Record;
    }
    const SiteRecord site = *m_conn.SessionSite;
    WaitCursor hourglass;
    SetStatusText(0, QString::fromUtf8(Message(msgTryingToConnect, m_settings.English())));
    // A site with none of these options set talks exactly as before they existed.
    const SiteOptions options = ParseSiteOptions(site.Reserved());
    if (options.ProtocolUnreadable || options.EncryptionUnreadable) {
        // Plain FTP in its place would send the password in clear.
        const std::string text = options.ProtocolUnreadable
            ? "The site's protocol \"" + options.BadProtocol
                + "\" cannot be read, so the connection is not made. Choose FTP or SFTP in the site's settings."
            : "The site's encryption setting \"" + options.BadEncryption
                + "\" cannot be read, so the connection is not made (the password would go out unencrypted)."
                  " Choose an encryption in the site's settings.";
        AddList(text);
        m_prompter.ShowMessage(text, mkError);
        SetStatusText(0, QStringLiteral("Cannot connect to server."));
        return false;
    }
    if (options.Sftp)
        return ConnectSftp(site, std::move(then));
    UseFtpSession();
    ftp::TFtpClient& c = *m_FtpClient1;
    c.SetHostName(site.HostName());
    c.SetPort(site.Port());
    c.SetUserName(site.UserName());
    c.SetPassWord(site.Password());
    c.SetPassive(m_settings.Transfer.Passive());
    if (!m_settings.ProxyName.empty()) {
        c.SetProxyServer(m_settings.ProxyHost());
        c.SetProxyPort(m_settings.ProxyPort());
        c.SetConnectionType(ftp::ftpProxy);
    } else {
        c.SetProxyServer({});
        c.SetConnectionType(ftp::ftpDirect);
    }
    c.SetTlsMode(options.Encryption == seTlsRequired  ? ftp::ftpTlsRequire
            : options.Encryption == seTlsIfAvailable ? ftp::ftpTlsIfAvailable
                                                     : ftp::ftpTlsNone);
    c.SetUseMlsd(options.Mlsd);
    c.SetUseUtf8(options.Utf8);
    c.SetEpsvFallback(!options.IsDefault());
    c.SetDisplayFileFlag(false);
    m_conn.DisplaySwitched = true;
    // Its result is not consulted: what counts is Connected afterwards.
    if (!Connected() && !Run(&ftp::TFtpClient::Connect) && m_engine.Refused)
        return false;
    if (m_conn.UserDisconnect)
        return false; // Disconnect, Stop or the close ended the attempt
    if (!Connected()) {
        SetStatusText(0, QStringLiteral("Cannot connect to server."));
        return false;
    }
    std::string inForce = c.TlsDescription();
    if (!inForce.empty() && !c.DataProtected())
        inForce += " (control connection only: listings and transfers are NOT encrypted)";
    if (const std::string extensions = c.ExtensionsInForce(); !extensions.empty())
        inForce += (inForce.empty() ? "" : "; ") + extensions;
    if (!inForce.empty())
        AddList("In force: " + inForce);
    EnterSiteFolder(site, std::move(then));
    return true;
}

void Tmainform::EnterSiteFolder(const SiteRecord& site, std::function<void()> then)
{
    // The site's folder and its listing go through the session: the window runs meanwhile.
    const std::string folder = site.RemoteDir().empty() ? std::string(".") : site.RemoteDir();
    m_session->ChangeFolder(folder, [this, then, release = HoldGate()](const SessionResult& r) {
        if (r.Refused) {
            CommandDone(r);
            return;
        }
        GetDir(dirview(), [this, then, release] {
            AddList("DIRECTORY LISTING IS FINISHED.");
            if (m_conn.LoggedIn == 1)
                SetStatusText(0, QStringLiteral("Connected."));
            if (then)
                then();
            release();
        });
    });
    if (!site.LocalDir().empty()) {
        ui::TLsFilelistView28* files = m_ui->LsFilelistView281;
        const QString local = QString::fromUtf8(DisplayText(site.LocalDir()));
        if (files->SetDirectory(local))
            m_ui->LsDirTreeCombo281->SetSelectedPath(files->Directory());
    }
}

bool Tmainform::ConnectSftp(const SiteRecord& site, std::function<void()> then)
{
    SftpSettings settings;
    settings.Host = site.HostName();
    settings.User = site.UserName();
    settings.Password = site.Password();
    settings.SettingsDir = m_settings.ProgramDir;
    const std::string port = site.Port();
    if (!port.empty()) {
        char* end = nullptr;
        const long number = std::strtol(port.c_str(), &end, 10);
        if (*end != '\0' || number < 1 || number > 65535) {
            Report("The site's port \"" + port + "\" is not a number from 1 to 65535; the connection is not made.");
            SetStatusText(0, QStringLiteral("Cannot connect to server."));
            return false;
        }
        settings.Port = int(number);
    }
    // A reconnection to the same server does not ask again about a key the
    // user accepted once.
    if (const auto* before = dynamic_cast<const SftpSession*>(m_session.get());
        before && before->Settings().Host == settings.Host && before->Settings().Port == settings.Port)
        settings.AcceptedKey = before->AcceptedKey().empty() ? before->Settings().AcceptedKey : before->AcceptedKey();
    UseSession(std::make_unique<SftpSession>(settings));
    m_session->SessionEvents().Log = [this](const std::string& line) { Display(line); };
    m_conn.DisplaySwitched = true;
    AddList("Connecting to " + settings.Host + " port " + std::to_string(settings.Port) + " (SFTP)");
    m_session->Connect([this, site, then = std::move(then), release = HoldGate()](const SessionResult& r) {
        if (!r.Ok) {
            if (!m_conn.UserDisconnect) {
                AddList(r.Message);
                SetStatusText(0, QStringLiteral("Cannot connect to server."));
            }
            release();
            return;
        }
        EnterSiteFolder(site, [then, release] {
            if (then)
                then();
            release();
        });
    });
    return true;
}

void Tmainform::btnConnectClick()
{
    ConnectToSelectedSite();
}

// ---------------------------------------------------------------- timer

void Tmainform::Timer1Timer()
{
    m_timer1.stop();
    ftp::TFtpClient& c = *m_FtpClient1;
    // A tick inside another action leaves the session to it.
    const bool busy = m_engine.Gate.Busy() || m_life.Closing;
    if (m_conn.ReconnectPending && !busy) {
        m_conn.ReconnectPending = false;
        if (m_conn.ReconnectFailures >= kMaxReconnects) {
            AddList("The connection was lost " + std::to_string(kMaxReconnects)
                + " times in a row; no further attempt is made. Press Connect to try again.");
            m_conn.ReconnectFailures = 0;
        } else {
            ++m_conn.ReconnectFailures;
            m_conn.Reconnecting = true;
            // Back to the folder the session was in, after the site's own.
            ConnectToSelectedSite([this] {
                if (!Connected())
                    return;
                m_session->ChangeFolder(m_conn.ReconnectDir, [this, release = HoldGate()](const SessionResult& r) {
                    const auto finished = [this, release] {
                        AddList("DIRECTORY LISTING IS FINISHED.");
                        release();
                    };
                    if (r.Ok)
                        GetDir(dirview(), finished);
                    else
                        finished();
                });
            });
            m_conn.Reconnecting = false;
        }
    }
    if (c.State() == ftp::ftpStateReady)
        ++m_conn.IdleTicks;
    // The keep-alive is FTP's: an SSH server keeps its own.
    if (m_conn.IdleTicks % 30 == 0 && !busy && FtpSessionOf() && Connected() && c.State() == ftp::ftpStateReady) {
        const std::string dir = c.HostDirName(), file = c.HostFileName(), local = c.LocalFileName();
        c.SetLocalFileName("NOOP");
        Run(&ftp::TFtpClient::Quote);
        c.SetHostDirName(dir);
        c.SetHostFileName(file);
        c.SetLocalFileName(local);
    }
    // Finished entries reach the disk within a second.
    std::string error;
    if (QueueFile* file = m_transfers->File(); file->FlushPending() && !file->Flush(&error))
        AddList(error);
    if (!m_life.Destroyed && !m_life.Closing)
        m_timer1.start();
}

// ---------------------------------------------------------------- commands and dialogs

void Tmainform::mnuCommandClick()
{
    if (!m_session->HasRawCommands()) {
        SetStatusText(0,
            QString::fromStdString("A raw command cannot be sent on an " + m_session->Protocol() + " connection."));
        return;
    }
    const std::optional<std::string> command = m_prompter.InputQuery("Enter Command", "Enter Command", "");
    if (!command || RemoteBusy())
        return; // cancelled: nothing is sent
    m_log.Replies.RawCommand = true;
    // The session forgets the TYPE in force: the command may have been one.
    m_session->Raw(*command, [this, release = HoldGate()](const SessionResult& r) {
        CommandDone(r);
        release();
    });
}

void Tmainform::Proxy1Click()
{
    TOKBottomDlg dialog(m_settings.ProxyName, m_settings.Transfer.PassiveMode(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_settings.ProxyName = dialog.ProxyName();
    m_settings.Transfer.SetPassiveMode(dialog.PassiveMode());
}

void Tmainform::Options1Click()
{
    Ui::TPagesDlg& d = m_pagesDlg->Form();
    d.lblConnections->setText(QString::fromUtf8(Message(msgConnections, m_settings.English())));
    d.spnConnections->setValue(m_settings.Connections);
    // The limits shown are the ones in force: a Cancel before leaves no trace.
    d.spnDownloadLimit->setValue(m_settings.DownloadLimitKiB);
    d.spnUploadLimit->setValue(m_settings.UploadLimitKiB);
    const bool accepted = m_pagesDlg->exec() == QDialog::Accepted;
    // Cancel does not undo a click on Binary/Ascii: the choice shown is the one in force.
    m_settings.Transfer.SetBinary(d.rdbBinary->isChecked());
    if (!accepted)
        return;
    m_settings.Connections = d.spnConnections->value();
    m_settings.DownloadLimitKiB = d.spnDownloadLimit->value();
    m_settings.UploadLimitKiB = d.spnUploadLimit->value();
    ApplyRateLimits();
    const bool boxes[7] = { d.chkPages->isChecked(), d.chkGif->isChecked(), d.chkJpg->isChecked(),
        d.chkMultimedia->isChecked(), d.chkPerl->isChecked(), d.chkApplications->isChecked(),
        d.chkZip->isChecked() };
    ApplyUploadChoice(boxes, d.chkAll->isChecked(), m_settings.UploadFilter, m_settings.UploadType);
}

void Tmainform::ApplyRateLimits()
{
    // A transfer in flight takes the new rate at its next block.
    m_engine.DownLimit->SetRate(std::int64_t(m_settings.DownloadLimitKiB) * 1024);
    m_engine.UpLimit->SetRate(std::int64_t(m_settings.UploadLimitKiB) * 1024);
}

void Tmainform::About1Click()
{
    m_aboutBox->exec();
}

} // namespace app
