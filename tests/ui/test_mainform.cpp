// The main window on the offscreen platform: start-up in a scratch home
// folder, the settings file, the site book commands through the real site
// dialog, the languages, the resize rule, closing, and the program itself
// ending on SIGTERM and SIGINT like on its close box.
#include "app/QtPrompter.hpp"
#include "app/core/Captions.hpp"
#include "app/core/Prompter.hpp"
#include "app/core/SiteBook.hpp"
#include "app/core/WindowLayout.hpp"
#include "app/dialog.hpp"
#include "app/dirview.hpp"
#include "app/ftp_main.hpp"
#include "app/hakkinda.hpp"
#include "app/options.hpp"
#include "app/program.hpp"
#include "ui/HintWindow.hpp"
#include "ui/ImageList.hpp"
#include "ui/LsFilelistView28.hpp"

#include "ui_aboutbox.h"
#include "ui_dlgsite.h"
#include "ui_mainform.h"
#include "ui_pagesdlg.h"

#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QSplitterHandle>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <functional>
#include <memory>
#include <sys/stat.h>

using namespace app;

namespace {

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void Write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QString U(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

// The text a caption row sets, read back from the window.
QString CaptionNow(Tmainform& form, const CaptionRow& row)
{
    const QString name = QString::fromLatin1(row.Component);
    const std::string property = row.Property;
    if (name == QLatin1String("mainform"))
        return form.windowTitle();
    if (property.rfind("column", 0) == 0)
        return form.Form().dirview->ColumnCaption(std::stoi(property.substr(6)));
    QObject* o = form.findChild<QObject*>(name);
    if (auto* a = qobject_cast<QAction*>(o))
        return property == "hint" ? a->toolTip() : a->text();
    if (auto* m = qobject_cast<QMenu*>(o))
        return m->title();
    if (auto* b = qobject_cast<QAbstractButton*>(o))
        return property == "hint" ? b->toolTip() : b->text();
    if (auto* l = qobject_cast<QLabel*>(o))
        return l->text();
    if (auto* g = qobject_cast<QGroupBox*>(o))
        return g->title();
    return QStringLiteral("<no control %1>").arg(name);
}

} // namespace

class MainformTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    ScriptedPrompter m_prompter;

    QString Home(const QString& name = {}) const
    {
        return name.isEmpty() ? m_home->path() : m_home->filePath(name);
    }

    std::unique_ptr<Tmainform> NewForm() { return std::make_unique<Tmainform>(m_prompter); }

    // Where a window with no window.txt opens (its frame's place and its size):
    // most of the free room of the screen.
    static QRect FirstStartGeometry()
    {
        const QRect a = QGuiApplication::primaryScreen()->availableGeometry();
        const app::WindowRect r = app::DefaultWindowSize(a.width(), a.height());
        return QRect(a.x() + r.x, a.y() + r.y, r.width, r.height);
    }

    // Answers the next site dialog: fill runs on the open dialog, then OK or
    // Cancel is clicked. Returns a flag that tells whether the dialog opened.
    std::shared_ptr<bool> AnswerDialog(Tmainform& form, std::function<void(Ui::TdlgSite&)> fill, bool ok)
    {
        auto opened = std::make_shared<bool>(false);
        QTimer::singleShot(0, &form, [&form, fill, ok, opened] {
            TdlgSite& dlg = form.dlgSite();
            if (!dlg.isVisible())
                return;
            *opened = true;
            fill(dlg.Form());
            (ok ? dlg.Form().OKBtn : dlg.Form().CancelBtn)->click();
        });
        return opened;
    }

    void AddSite(Tmainform& form, const QString& alias, const QString& host, const QString& port = "21",
        const QString& dir = {})
    {
        auto opened = AnswerDialog(
            form,
            [=](Ui::TdlgSite& d) {
                d.edtAlias->setText(alias);
                d.edtHost->setText(host);
                d.edtUser->setText("user-" + alias);
                d.edtPassword->setText("pw-" + alias);
                d.edtPort->setText(port);
                d.edtDefaultDir->setText(dir);
            },
            true);
        form.btnAddSiteClick();
        QVERIFY(*opened);
    }

    QStringList Sites(Tmainform& form)
    {
        QStringList list;
        for (int i = 0; i < form.Form().ComboBox1->count(); ++i)
            list << form.Form().ComboBox1->itemText(i);
        return list;
    }

    QByteArray Book() { return ReadAll(Home("sitelog.cvn")); }

private slots:
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(m_home->isValid());
        qputenv("TALLOWIN_HOME", m_home->path().toUtf8());
        qunsetenv("TALLOWIN_DEMO"); // scripts/run may have set it
        m_prompter = ScriptedPrompter();
    }
    void cleanup() { QCOMPARE(m_prompter.Pending(), std::size_t(0)); }

    void firstStartInAnEmptyFolder()
    {
        auto form = NewForm();
        Ui::Tmainform& f = form->Form();
        QCOMPARE(form->LanguageName(), std::string("ENGLISH"));
        QCOMPARE(form->ProxyName(), std::string());
        QCOMPARE(form->PassiveMode(), std::string("NO"));
        QCOMPARE(f.Label1->text(), QString("Connection Name:"));
        QCOMPARE(f.btnAddSite->toolTip(), QString("Add Site")); // the table replaced "Add New Site"
        QCOMPARE(f.btnConnect->text(), QString("Connect"));
        // An empty site book, private to the user, and no conversion left over.
        QFileInfo book(Home("sitelog.cvn"));
        QVERIFY(book.exists());
        QCOMPARE(book.size(), qint64(0));
        struct stat st { };
        QCOMPARE(::stat(Home("sitelog.cvn").toUtf8().constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QVERIFY(!QFile::exists(Home("sitelog1.cvn")));
        QCOMPARE(f.ComboBox1->count(), 0);
        QCOMPARE(f.ComboBox1->currentIndex(), -1);
        QVERIFY(f.lbQueue->toPlainText().isEmpty());
        QCOMPARE(form->IdleTicks(), 119);
        QVERIFY(form->UserDisconnect());
        QCOMPARE(form->UploadFilter(), std::string("."));
        QVERIFY(form->Timer1().isActive());
        QCOMPARE(form->Timer1().interval(), 1000);
        QCOMPARE(form->icons_small().Count(), 2);
        QCOMPARE(form->icons_large().Count(), 2);
        QVERIFY(!form->icons_small().Icon(0).isNull() && !form->icons_small().Icon(1).isNull());
        QCOMPARE(QRect(form->pos(), form->size()), FirstStartGeometry());
        QCOMPARE(f.dirview->Model().columnCount(), 5);
        QCOMPARE(f.dirview->ColumnCaption(4), QString("Permissions"));
        QCOMPARE(f.LsFilelistView281->Directory(), DesktopFolder() + "/"); // home when there is no desktop folder
        QVERIFY(m_prompter.Shown().empty());
        form.reset();
        QCOMPARE(ReadAll(Home("language.txt")), QByteArray("ENGLISH\r\n\r\nNO\r\n"));
    }

    void startsWithTheQueueAndTheSites()
    {
        Write(Home("queue.txt"), "D:F;/tmp/a.txt;/pub/a.txt\r\nU:D;/tmp/dir;/pub/dir\r\n");
        {
            SiteBook book;
            QVERIFY(book.Open(Home().toStdString()));
            for (const char* alias : { "first", "second" }) {
                SiteRecord r;
                r.SetAlias(alias);
                r.SetHostName("127.0.0.1");
                QVERIFY(book.Add(r));
            }
        }
        auto form = NewForm();
        QCOMPARE(
            form->Form().lbQueue->toPlainText(), QString("D:F;/tmp/a.txt;/pub/a.txt\nU:D;/tmp/dir;/pub/dir"));
        QCOMPARE(Sites(*form), QStringList({ "first", "second" }));
        QCOMPARE(form->Form().ComboBox1->currentText(), QString("first"));
    }

    void settingsFile_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("english");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("missing") << QByteArray() << true << QByteArray("ENGLISH\r\n\r\nNO\r\n");
        QTest::newRow("one line loses nothing but itself")
            << QByteArray("TURKCE\r\n") << true << QByteArray("ENGLISH\r\n\r\nNO\r\n");
        QTest::newRow("two lines: all defaults")
            << QByteArray("TURKCE\r\nproxy\r\n") << true << QByteArray("ENGLISH\r\n\r\nNO\r\n");
        QTest::newRow("turkish with proxy") << QByteArray("TURKCE\r\nproxy.host\r\nYES\r\n") << false
                                            << QByteArray("TURKCE\r\nproxy.host\r\nYES\r\n");
        QTest::newRow("lower-case english is turkish")
            << QByteArray("english\r\n\r\nNO\r\n") << false << QByteArray("english\r\n\r\nNO\r\n");
        QTest::newRow("empty first line is turkish")
            << QByteArray("\r\n\r\nNO\r\n") << false << QByteArray("\r\n\r\nNO\r\n");
        QTest::newRow("LF lines, extra lines dropped")
            << QByteArray("ENGLISH\nh\nmaybe\nmore\n") << true << QByteArray("ENGLISH\r\nh\r\nmaybe\r\n");
    }
    void settingsFile()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, english);
        QFETCH(QByteArray, written);
        if (!contents.isEmpty())
            Write(Home("language.txt"), contents);
        auto form = NewForm();
        QCOMPARE(form->Form().Label1->text(), english ? QString("Connection Name:") : U("Bağlantı İsmi:"));
        QCOMPARE(form->Form().File1->title(), english ? QString("&File") : QString("&Dosya"));
        form.reset();
        QCOMPARE(ReadAll(Home("language.txt")), written);
    }

    void captionsEnglishTurkishEnglish()
    {
        auto form = NewForm();
        const auto rows = MainCaptions();
        for (const CaptionRow& row : rows)
            QCOMPARE(CaptionNow(*form, row), QString::fromUtf8(row.English));
        form->Form().Turkish1->trigger();
        QCOMPARE(form->LanguageName(), std::string("TURKCE"));
        for (const CaptionRow& row : rows)
            QCOMPARE(CaptionNow(*form, row), QString::fromUtf8(row.Turkish));
        // Outside the table the designed English stays.
        QCOMPARE(form->Form().btnConnect->text(), QString("Connect"));
        QCOMPARE(form->Form().Language1->title(), QString("Language"));
        QCOMPARE(form->Form().dirview->ColumnCaption(4), QString("Permissions"));
        QCOMPARE(form->Form().mnu_view_big->text(), U("Büyük Sembollar"));
        QCOMPARE(form->Form().BigSymbols1->text(), U("Büyük Semboller"));
        form->Form().English1->trigger();
        for (const CaptionRow& row : rows)
            QCOMPARE(CaptionNow(*form, row), QString::fromUtf8(row.English));
        QCOMPARE(form->Form().btnDelete->toolTip(), QString("Delete"));
        QCOMPARE(form->Form().btnEditSite->toolTip(), QString("Edit Site"));
    }

    void dialogsKeepTheirLanguageUntilRestart()
    {
        auto form = NewForm();
        const auto label = [](Tmainform& f) { return f.dlgSite().Form().lblAlias->text(); };
        QCOMPARE(label(*form), QString("Alias:"));
        const QString aboutEnglish = form->AboutBox().Form().Comments->text();
        form->Turkish1Click();
        QCOMPARE(label(*form), QString("Alias:"));
        QCOMPARE(form->AboutBox().Form().Comments->text(), aboutEnglish);
        form.reset();
        QVERIFY(ReadAll(Home("language.txt")).startsWith("TURKCE\r\n"));
        form = NewForm();
        Ui::TdlgSite& d = form->dlgSite().Form();
        QCOMPARE(label(*form), U("Görünüm Adı:"));
        QCOMPARE(d.lblVendor->text(), U("Sistem:"));
        QCOMPARE(d.lblDefaultDir->text(), QString("Default Dir:"));
        QCOMPARE(d.cmbVendor->currentText(), QString("AUTO"));
        QCOMPARE(d.lblEncryption->text(), U("Şifreleme:"));
        QCOMPARE(d.lblProtocol->text(), U("Protokol:"));
        QCOMPARE(d.cmbEncryption->itemText(2), U("Açık TLS zorunlu"));
        QCOMPARE(d.cmbListing->itemText(1), U("Varsa MLSD kullan"));
        QCOMPARE(d.chkUtf8->text(), U("Sunucu sunarsa UTF-8 kullan"));
        QCOMPARE(form->PagesDlg().Form().lblUploadLimit->text(), U("Gönderme (KiB/sn, 0 = sınırsız):"));
        QVERIFY(form->AboutBox().Form().Comments->text() != aboutEnglish);
    }

    void connectionOptionsLiveInTheReservedField()
    {
        auto form = NewForm();
        auto opened = AnswerDialog(
            *form,
            [](Ui::TdlgSite& d) {
                QCOMPARE(d.cmbEncryption->currentText(), QString("Plain FTP"));
                QCOMPARE(d.cmbListing->currentText(), QString("LIST"));
                QVERIFY(!d.chkUtf8->isChecked());
                d.edtAlias->setText("secure");
                d.edtHost->setText("127.0.0.1");
                d.cmbEncryption->setCurrentIndex(2);
                d.cmbListing->setCurrentIndex(1);
                d.chkUtf8->setChecked(true);
            },
            true);
        form->btnAddSiteClick();
        QVERIFY(*opened);
        AddSite(*form, "plain", "127.0.0.1");
        QCOMPARE(form->Book().Find("secure")->Record.Reserved(),
            std::string("encryption=tls-required;listing=mlsd;utf8=yes"));
        QCOMPARE(form->Book().Find("plain")->Record.Reserved(), std::string()); // as an older build wrote it
        QCOMPARE(Book().size(), qsizetype(2 * kSiteRecordSize));

        // Someone else's text stays: as it was while no option changes, after the options when one does.
        SiteRecord plain = form->Book().Find("plain")->Record;
        QVERIFY(plain.SetField(sfReserved, "notes of another build"));
        QVERIFY(form->Book().Rewrite(form->Book().Find("plain")->Position, plain));
        form->Form().ComboBox1->setCurrentIndex(1);
        for (bool changeOption : { false, true }) {
            opened = AnswerDialog(
                *form,
                [changeOption](Ui::TdlgSite& d) {
                    QCOMPARE(d.cmbEncryption->currentIndex(), 0);
                    d.edtPort->setText("2121");
                    d.chkUtf8->setChecked(changeOption);
                },
                true);
            form->btnEditSiteClick();
            QVERIFY(*opened);
            QCOMPARE(form->Book().Find("plain")->Record.Reserved(),
                std::string(changeOption ? "utf8=yes;notes of another build" : "notes of another build"));
        }
        // SFTP as the user picks it: the standard port follows, FTP's options go grey.
        opened = AnswerDialog(
            *form,
            [](Ui::TdlgSite& d) {
                QCOMPARE(d.cmbProtocol->currentText(), QString("FTP"));
                d.edtAlias->setText("ssh");
                d.edtHost->setText("127.0.0.1");
                d.edtPort->setText("21"); // the dialog keeps the last site's port
                QTest::keyClick(d.cmbProtocol, Qt::Key_Down);
                QCOMPARE(d.cmbProtocol->currentText(), QString("SFTP"));
                QCOMPARE(d.edtPort->text(), QString("22"));
                QVERIFY(!d.cmbEncryption->isEnabled() && !d.chkUtf8->isEnabled());
            },
            true);
        form->btnAddSiteClick();
        QVERIFY(*opened);
        QCOMPARE(form->Book().Find("ssh")->Record.Reserved(), std::string("protocol=sftp"));
        QCOMPARE(form->Book().Find("ssh")->Record.Port(), std::string("22"));
    }

    void addEditDeleteThroughTheDialog()
    {
        auto form = NewForm();
        AddSite(*form, "alpha", "127.0.0.1", "2121", "/pub");
        AddSite(*form, "beta", "127.0.0.2");
        QCOMPARE(Sites(*form), QStringList({ "alpha", "beta" }));
        QCOMPARE(form->Form().ComboBox1->currentText(), QString("alpha")); // first entry, not the new one
        QByteArray bytes = Book();
        QCOMPARE(bytes.size(), qsizetype(2 * kSiteRecordSize));
        SiteRecord alpha = SiteRecord::FromBytes(std::string_view(bytes.constData(), kSiteRecordSize));
        QCOMPARE(alpha.HostName(), std::string("127.0.0.1"));
        QCOMPARE(alpha.UserName(), std::string("user-alpha"));
        QCOMPARE(alpha.Password(), std::string("pw-alpha"));
        QCOMPARE(alpha.Port(), std::string("2121"));
        QCOMPARE(alpha.RemoteDir(), std::string("/pub"));
        QCOMPARE(alpha.LocalDir(), std::string());

        // Edit the second site and rename it: the list is rebuilt and the
        // edited site stays selected.
        form->Form().ComboBox1->setCurrentIndex(1);
        auto opened = AnswerDialog(
            *form,
            [](Ui::TdlgSite& d) {
                QCOMPARE(d.edtAlias->text(), QString("beta"));
                QCOMPARE(d.edtPassword->text(), QString("pw-beta"));
                d.edtAlias->setText("gamma");
                d.edtDefaultDir->setText("/srv");
            },
            true);
        form->btnEditSiteClick();
        QVERIFY(*opened);
        QCOMPARE(Sites(*form), QStringList({ "alpha", "gamma" }));
        QCOMPARE(form->Form().ComboBox1->currentIndex(), 1);
        QCOMPARE(form->Book().Find("gamma")->Record.RemoteDir(), std::string("/srv"));

        // Cancel stores nothing even with altered fields.
        const QByteArray before = Book();
        opened = AnswerDialog(
            *form, [](Ui::TdlgSite& d) { d.edtHost->setText("changed"); }, false);
        form->btnEditSiteClick();
        QVERIFY(*opened);
        QCOMPARE(Book(), before);

        // The add dialog keeps the port and directory the edit showed.
        form->Form().ComboBox1->setCurrentIndex(0);
        auto editOpened = AnswerDialog(
            *form, [](Ui::TdlgSite&) {}, true);
        form->btnEditSiteClick(); // shows alpha: port 2121, /pub
        QVERIFY(*editOpened);
        opened = AnswerDialog(
            *form,
            [](Ui::TdlgSite& d) {
                QCOMPARE(d.edtPort->text(), QString("2121"));
                QCOMPARE(d.edtDefaultDir->text(), QString("/pub"));
                QCOMPARE(d.edtHost->text(), QString());
            },
            false);
        form->btnAddSiteClick();
        QVERIFY(*opened);

        // Delete without asking: the slot is marked, the password stays, no
        // entry is selected, and the next add takes the slot.
        form->Form().ComboBox1->setCurrentIndex(0);
        form->btnDeleteSiteClick();
        QCOMPARE(Sites(*form), QStringList({ "gamma" }));
        QCOMPARE(form->Form().ComboBox1->currentIndex(), -1);
        bytes = Book();
        QCOMPARE(bytes.size(), qsizetype(2 * kSiteRecordSize));
        const SiteRecord deleted
            = SiteRecord::FromBytes(std::string_view(bytes.constData(), kSiteRecordSize));
        QVERIFY(deleted.IsDeleted());
        QCOMPARE(deleted.Password(), std::string("pw-alpha"));
        form->btnDeleteSiteClick(); // nothing selected: nothing happens
        QCOMPARE(Book(), bytes);

        // A renamed site behind a deleted slot stays selected at its list index.
        form->Form().ComboBox1->setCurrentIndex(0);
        opened = AnswerDialog(
            *form, [](Ui::TdlgSite& d) { d.edtAlias->setText("omega"); }, true);
        form->btnEditSiteClick();
        QVERIFY(*opened);
        QCOMPARE(Sites(*form), QStringList({ "omega" }));
        QCOMPARE(form->Form().ComboBox1->currentIndex(), 0);

        AddSite(*form, "delta", "127.0.0.3");
        QCOMPARE(Book().size(), qsizetype(2 * kSiteRecordSize));
        QCOMPARE(Sites(*form), QStringList({ "delta", "omega" }));
        QVERIFY(m_prompter.Shown().empty());
    }

    void siteCommandMessages()
    {
        auto form = NewForm();
        form->btnEditSiteClick(); // empty book
        auto opened = AnswerDialog(
            *form,
            [](Ui::TdlgSite& d) {
                d.edtAlias->setText("   ");
                d.edtHost->setText("127.0.0.1");
            },
            true);
        form->btnAddSiteClick();
        QVERIFY(*opened);
        opened = AnswerDialog(
            *form, [](Ui::TdlgSite& d) { d.edtAlias->setText("x"); }, false);
        form->btnAddSiteClick(); // Cancel: no message
        QVERIFY(*opened);
        const std::vector<std::string> expected = { kMsgNoSiteDefined, kMsgEnterAliasAndHost };
        QCOMPARE(m_prompter.ShownTexts(), expected);
        QCOMPARE(Book().size(), qsizetype(0));
        // Alias "!" is stored but never listed.
        AddSite(*form, "!", "127.0.0.1");
        QCOMPARE(Book().size(), qsizetype(kSiteRecordSize));
        QCOMPARE(form->Form().ComboBox1->count(), 0);
    }

    // An older book's names and passwords are Windows-1254 bytes, not UTF-8:
    // the site is still found, and an edit keeps the fields it did not touch.
    void sitesWhoseTextIsNotUtf8()
    {
        const std::string alias = "Sunucu \xDE\xFE";
        const std::string password = "\xFE\xFD\xF0-secret";
        {
            SiteBook book;
            QVERIFY(book.Open(Home().toStdString()));
            SiteRecord r;
            QVERIFY(r.SetAlias(alias) && r.SetHostName("127.0.0.1") && r.SetPassword(password) && r.SetPort("21"));
            QVERIFY(book.Add(r));
        }
        auto form = NewForm();
        QCOMPARE(form->Form().ComboBox1->count(), 1);
        QCOMPARE(form->Form().ComboBox1->itemText(0), U("Sunucu Şş")); // shown as Windows-1254
        QVERIFY(form->FindSelectedSite());
        auto opened = AnswerDialog(
            *form,
            [](Ui::TdlgSite& d) {
                QCOMPARE(d.edtPassword->text(), U("şığ-secret"));
                d.edtHost->setText("127.0.0.2");
            },
            true);
        form->btnEditSiteClick();
        QVERIFY(*opened);
        const QByteArray book = Book();
        QCOMPARE(book.size(), qsizetype(kSiteRecordSize));
        const SiteRecord stored = SiteRecord::FromBytes(std::string_view(book.constData(), kSiteRecordSize));
        QCOMPARE(stored.Alias(), alias);
        QCOMPARE(stored.Password(), password);
        QCOMPARE(stored.HostName(), std::string("127.0.0.2"));
        form->btnDeleteSiteClick();
        QCOMPARE(form->Form().ComboBox1->count(), 0);
    }

    void dialogRefusesInputLongerThanItsField()
    {
        auto form = NewForm();
        Ui::TdlgSite& d = form->dlgSite().Form();
        d.edtAlias->clear();
        QTest::keyClicks(d.edtAlias, QString(25, 'a'));
        QCOMPARE(d.edtAlias->text(), QString(20, 'a'));
        // Bytes, not characters: "ş" takes two, so ten of them fill the alias.
        d.edtAlias->clear();
        for (int i = 0; i < 12; ++i) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(QChar(0x015F)));
            QApplication::sendEvent(d.edtAlias, &press);
        }
        QCOMPARE(d.edtAlias->text(), QString(10, QChar(0x015F)));
        d.edtPort->clear();
        QTest::keyClicks(d.edtPort, "123456789012");
        QCOMPARE(d.edtPort->text(), QString("1234567890"));

        // Text the program put there is checked again on OK: the dialog stays
        // open with a message, and nothing is stored.
        auto opened = AnswerDialog(
            *form,
            [&](Ui::TdlgSite& dd) {
                dd.edtAlias->setText("ok");
                dd.edtHost->setText(QString(51, 'h'));
                dd.OKBtn->click();
                QVERIFY(form->dlgSite().isVisible());
            },
            false);
        form->btnAddSiteClick();
        QVERIFY(*opened);
        QCOMPARE(m_prompter.Shown().size(), std::size_t(1));
        QVERIFY(m_prompter.Shown()[0].Text.find("Host") != std::string::npos);
        QCOMPARE(Book().size(), qsizetype(0));
    }

    void resizeRule()
    {
        auto form = NewForm();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->resize(400, 500);
        QTest::qWait(20);
        QCOMPARE(form->width(), 550);
        for (int width : { 900, 701 }) {
            form->resize(width, 500);
            QTest::qWait(20);
            QCOMPARE(form->Form().pnlLeft->width(), width / 2);
        }
        // Dragging the splitter moves the border until the next resize.
        QSplitter* split = form->Form().Splitter1;
        split->setSizes({ 200, split->width() - split->handleWidth() - 200 });
        QCOMPARE(form->Form().pnlLeft->width(), 200);
    }

    // At the initial size the remote strip shows its label and the check box
    // whole, side by side, in both languages.
    void remoteStripFitsAtTheInitialWidth_data()
    {
        QTest::addColumn<QByteArray>("language");
        QTest::newRow("english") << QByteArray("ENGLISH\r\n\r\nNO\r\n");
        QTest::newRow("turkish") << QByteArray("TURKCE\r\n\r\nNO\r\n");
    }
    void remoteStripFitsAtTheInitialWidth()
    {
        QFETCH(QByteArray, language);
        Write(Home("language.txt"), language);
        auto form = NewForm();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QCOMPARE(QRect(form->pos(), form->size()), FirstStartGeometry());
        const Ui::Tmainform& f = form->Form();
        const QLabel* label = f.lblRemote;
        const QCheckBox* check = f.chkNavigating;
        QVERIFY2(label->width() >= label->sizeHint().width(),
            qPrintable(QString("label %1 < %2").arg(label->width()).arg(label->sizeHint().width())));
        QVERIFY(check->width() >= check->sizeHint().width());
        QVERIFY(label->geometry().right() < check->geometry().left());
        QVERIFY(check->geometry().right() <= f.pnlRemoteCaption->contentsRect().right());
        // The same for the local label.
        QVERIFY(f.lblLocal->width() >= f.lblLocal->sizeHint().width());
    }

    void closingNotice_data()
    {
        QTest::addColumn<bool>("viaExit");
        QTest::addColumn<bool>("turkish");
        QTest::newRow("Exit, English") << true << false;
        QTest::newRow("close box, English") << false << false;
        QTest::newRow("close box, Turkish") << false << true;
    }
    void closingNotice()
    {
        QFETCH(bool, viaExit);
        QFETCH(bool, turkish);
        auto form = NewForm();
        form->show();
        if (turkish)
            form->Turkish1Click();
        bool closed = false;
        connect(form.get(), &Tmainform::Closed, this, [&] { closed = true; });
        if (viaExit)
            form->Form().Exit1->trigger();
        else
            QVERIFY(form->close());
        QVERIFY(closed);
        QVERIFY(!form->isVisible());
        QCOMPARE(form->StatusText(0), QString::fromUtf8(Message(msgClosing, !turkish)));
        form.reset();
        QCOMPARE(ReadAll(Home("language.txt")),
            turkish ? QByteArray("TURKCE\r\n\r\nNO\r\n") : QByteArray("ENGLISH\r\n\r\nNO\r\n"));
    }

    void windowLayoutKeptAcrossRuns()
    {
        QRect place(20, 30, 700, 500);
        QList<int> rows;
        int left = 0;
        {
            auto form = NewForm();
            Ui::Tmainform& f = form->Form();
            form->show();
            QVERIFY(QTest::qWaitForWindowExposed(form.get()));
            form->resize(place.size());
            form->move(place.topLeft());
            QTest::qWait(20);
            // The user drags the panes' border 120 pixels to the left, and the log's down.
            QSplitterHandle* handle = f.Splitter1->handle(1);
            const QPoint from = handle->rect().center();
            const QPoint to = from - QPoint(120, 0);
            QMouseEvent press(QEvent::MouseButtonPress, from, handle->mapToGlobal(from), Qt::LeftButton,
                Qt::LeftButton, Qt::NoModifier);
            QMouseEvent move(QEvent::MouseMove, to, handle->mapToGlobal(to), Qt::NoButton, Qt::LeftButton,
                Qt::NoModifier);
            QMouseEvent release(QEvent::MouseButtonRelease, to, handle->mapToGlobal(to), Qt::LeftButton,
                Qt::NoButton, Qt::NoModifier);
            for (QMouseEvent* e : { &press, &move, &release })
                QApplication::sendEvent(handle, e);
            left = f.pnlLeft->width();
            QVERIFY(left < 350 - 100);
            rows = f.Splitter2->sizes();
            rows[0] -= 60;
            rows[1] += 60;
            f.Splitter2->setSizes(rows);
            rows = f.Splitter2->sizes();
            f.dirview->SetColumnWidth(0, 333);
            f.LsFilelistView281->setColumnWidth(0, 222);
            QVERIFY(form->close());
        }
        auto form = NewForm();
        Ui::Tmainform& f = form->Form();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QCOMPARE(QRect(form->pos(), form->size()), place);
        QCOMPARE(f.Splitter2->sizes(), rows);
        QCOMPARE(f.pnlLeft->width(), left);
        QCOMPARE(f.dirview->DetailsView()->columnWidth(0), 333);
        QCOMPARE(f.LsFilelistView281->columnWidth(0), 222);
        // The chosen share of the width holds through a resize.
        form->resize(1000, 500);
        QTest::qWait(20);
        QVERIFY2(qAbs(f.pnlLeft->width() - 1000 * left / 700) <= 2, qPrintable(QString::number(f.pnlLeft->width())));
        form.reset();
        // A place off every screen, or a file that cannot be read, gives the first start's place.
        for (const QByteArray& text : { QByteArray("geometry=30000,30000,700,500\r\n"), QByteArray("geometry=oops\r\n") }) {
            Write(Home("window.txt"), text);
            auto fresh = NewForm();
            QCOMPARE(QRect(fresh->pos(), fresh->size()), FirstStartGeometry());
        }
    }

    void unreadableBookIsReportedAndLeftAlone()
    {
        // A folder where the book should be: it can be neither read nor replaced.
        QVERIFY(QDir(Home()).mkdir("sitelog.cvn"));
        auto form = NewForm();
        QCOMPARE(m_prompter.Shown().size(), std::size_t(1));
        QCOMPARE(m_prompter.Shown()[0].MessageKind, mkError);
        QVERIFY(QFileInfo(Home("sitelog.cvn")).isDir());
        QCOMPARE(form->Form().ComboBox1->count(), 0);
    }

    void unreadableSettingsAreReportedAndNotReplaced()
    {
        // A folder where the settings should be: there, but not readable.
        QVERIFY(QDir(Home()).mkpath("language.txt/keep"));
        auto form = NewForm();
        QCOMPARE(m_prompter.Shown().size(), std::size_t(1));
        QCOMPARE(m_prompter.Shown()[0].MessageKind, mkError);
        QVERIFY(m_prompter.Shown()[0].Text.find("language.txt") != std::string::npos);
        QCOMPARE(form->LanguageName(), std::string("ENGLISH"));
        form->Turkish1Click();
        form.reset();
        // Nothing tried to write over it at the end.
        QCOMPARE(m_prompter.Shown().size(), std::size_t(1));
        QVERIFY(QFileInfo(Home("language.txt/keep")).exists());
    }

    void localDeleteAsksThroughThePrompter()
    {
        qputenv("HOME", Home().toUtf8());
        qputenv("XDG_DATA_HOME", Home(".local/share").toUtf8());
        QVERIFY(QDir(Home()).mkpath("local"));
        Write(Home("local/doomed.txt"), "bytes");
        auto form = NewForm();
        ui::TLsFilelistView28* list = form->Form().LsFilelistView281;
        QVERIFY(list->SetDirectory(Home("local")));
        list->FindItem("doomed.txt")->setSelected(true);
        m_prompter.ExpectConfirm(ansCancel);
        form->Form().Delete3->trigger();
        QVERIFY(QFile::exists(Home("local/doomed.txt")));
        list->FindItem("doomed.txt")->setSelected(true);
        m_prompter.ExpectConfirm(ansOK);
        form->Form().btnCliDelete->click();
        QVERIFY(!QFile::exists(Home("local/doomed.txt")));
        QCOMPARE(m_prompter.Shown().size(), std::size_t(2));
        QVERIFY(m_prompter.Shown()[1].Buttons.Has(ansOK) && m_prompter.Shown()[1].Buttons.Has(ansCancel));
        QVERIFY(m_prompter.Shown()[1].Text.find("doomed.txt") != std::string::npos);
    }

    void hintsUseTheProgramsHintWindow()
    {
        auto form = NewForm();
        form->show();
        form->Turkish1Click();
        QWidget* button = form->Form().btnConnect;
        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), button->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(button, &help);
        ui::HintWindow* hint = ui::HintWindow::Instance();
        QVERIFY(hint && hint->isVisible());
        QCOMPARE(hint->Text(), U("Bağlan"));
        hint->hide();
    }

    void qtPrompterAnswersWithTheButtonPressed_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("answer");
        QTest::newRow("OK") << "OK" << int(ansOK);
        QTest::newRow("All") << "All" << int(ansAll);
        QTest::newRow("Ignore") << "Ignore" << int(ansIgnore);
        QTest::newRow("Cancel") << "Cancel" << int(ansCancel);
    }
    void qtPrompterAnswersWithTheButtonPressed()
    {
        QFETCH(QString, button);
        QFETCH(int, answer);
        QtPrompter prompter;
        QStringList offered;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            for (QAbstractButton* b : box->buttons())
                offered << b->text();
            for (QAbstractButton* b : box->buttons())
                if (b->text() == button)
                    b->click();
        });
        QCOMPARE(int(prompter.Confirm("Overwrite?", { ansOK, ansAll, ansIgnore, ansCancel })), answer);
        offered.sort();
        QCOMPARE(offered, QStringList({ "All", "Cancel", "Ignore", "OK" }));
    }

    void helpShowsThePageBesideTheProgram()
    {
        auto form = NewForm();
        form->Help1Click();
        QVERIFY(form->HelpWindow());
        QVERIFY(form->HelpWindow()->isVisible());
        QVERIFY(form->HelpWindow()->Text().contains("site book"));
    }

    void programEndsOnSignalLikeOnItsCloseBox_data()
    {
        QTest::addColumn<int>("signo");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void programEndsOnSignalLikeOnItsCloseBox()
    {
        QFETCH(int, signo);
        Write(Home("language.txt"), "TURKCE\r\nproxy.host\r\nYES\r\n");
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TALLOWIN_HOME", Home());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.start(TALLOWIN_PROGRAM, {});
        QVERIFY(program.waitForStarted(5000));
        // The book appears during start-up, after the handlers are in place.
        QElapsedTimer clock;
        clock.start();
        while (!QFile::exists(Home("sitelog.cvn")) && clock.elapsed() < 15000)
            QTest::qWait(20);
        QVERIFY(QFile::exists(Home("sitelog.cvn")));
        QFile::remove(Home("language.txt"));
        QTest::qWait(200);
        ::kill(program.processId(), signo);
        QVERIFY(program.waitForFinished(15000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(ReadAll(Home("language.txt")), QByteArray("TURKCE\r\nproxy.host\r\nYES\r\n"));
    }

    void emptyBookOffersTheDemoServer()
    {
        qputenv("TALLOWIN_DEMO", "127.0.0.1:2121");
        {
            auto form = NewForm();
            QCOMPARE(Sites(*form), QStringList({ "Demo" }));
            const std::optional<SiteEntry> demo = form->FindSelectedSite();
            QVERIFY(demo);
            const SiteRecord& r = demo->Record;
            QCOMPARE(r.HostName(), std::string("127.0.0.1"));
            QCOMPARE(r.Port(), std::string("2121"));
            QCOMPARE(r.UserName(), std::string("demo"));
            QCOMPARE(r.Password(), std::string("demo"));
            QCOMPARE(r.RemoteDir(), std::string());
        }
        // A book that holds a site of its own is left alone.
        m_home = std::make_unique<QTemporaryDir>();
        qputenv("TALLOWIN_HOME", m_home->path().toUtf8());
        {
            SiteBook book;
            QVERIFY(book.Open(Home().toStdString()));
            SiteRecord r;
            r.SetAlias("mine");
            r.SetHostName("ftp.example.org");
            QVERIFY(book.Add(r));
        }
        auto form = NewForm();
        QCOMPARE(Sites(*form), QStringList({ "mine" }));
        qunsetenv("TALLOWIN_DEMO");
    }
};

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    app::SetUpApplication();
    MainformTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_mainform.moc"
