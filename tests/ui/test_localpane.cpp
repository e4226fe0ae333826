// The local file browser components on the real file system, in a scratch
// folder that is also the home (so the desktop trash is there too).
#include "ui/LsDirTreeCombo28.hpp"
#include "ui/LsFilelistView28.hpp"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using ui::TLsDirTreeCombo28;
using ui::TLsFilelistView28;

namespace {

void Touch(const QString& path, int bytes = 0)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(bytes, 'x'));
}

QStringList Captions(const TLsFilelistView28& list)
{
    QStringList out;
    for (int i = 0; i < list.topLevelItemCount(); ++i)
        out << list.topLevelItem(i)->text(0);
    return out;
}

} // namespace

class LocalPaneTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_root; // the folder the list is tested in
    std::unique_ptr<TLsFilelistView28> m_list;
    QStringList m_errors;

    QString Path(const QString& name) const { return m_root + "/" + name; }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        qputenv("HOME", m_tmp->path().toUtf8());
        qputenv("XDG_DATA_HOME", (m_tmp->path() + "/.local/share").toUtf8());
        m_root = m_tmp->path() + "/work";
        QVERIFY(QDir().mkpath(m_root + "/Beta"));
        QVERIFY(QDir().mkpath(m_root + "/alpha"));
        Touch(Path("zeta.txt"), 3000);
        Touch(Path("Apple.html"), 10);
        Touch(Path(".hidden"));
        m_list = std::make_unique<TLsFilelistView28>();
        m_errors.clear();
        m_list->OnError = [this](QObject*, const QString& message) { m_errors << message; };
    }
    void cleanup()
    {
        m_list.reset();
        QDir::setCurrent(QDir::tempPath());
    }

    void setDirectoryRules()
    {
        QCOMPARE(m_list->Directory(), QString("Drives"));
        QVERIFY(m_list->SetDirectory(m_root));
        QCOMPARE(m_list->Directory(), m_root + "/");
        QCOMPARE(QDir::currentPath(), m_root);
        // The parent entry first, then folders, then files; hidden ones are left out.
        QCOMPARE(Captions(*m_list), QStringList({ " Parent", "alpha", "Beta", "Apple.html", "zeta.txt" }));
        QCOMPARE(m_list->FindItem("zeta.txt")->text(1), QString("3 KB"));
        QVERIFY(!m_list->FindItem("zeta.txt")->icon(0).isNull());
        QVERIFY(!m_list->FindItem("alpha")->icon(0).isNull());
        QVERIFY(!m_list->FindItem("alpha")->text(3).isEmpty());
        // The same folder again, a file, a missing folder: nothing moves.
        QVERIFY(!m_list->SetDirectory(m_root + "/"));
        QVERIFY(!m_list->SetDirectory(Path("zeta.txt")));
        QVERIFY(!m_list->SetDirectory(Path("missing")));
        QCOMPARE(m_list->Directory(), m_root + "/");
        // Folders differing only in case are different folders here.
        QVERIFY(m_list->SetDirectory(Path("Beta")));
        QVERIFY(QDir().mkdir(Path("beta")));
        QVERIFY(m_list->SetDirectory(Path("beta")));
        QCOMPARE(m_list->Directory(), Path("beta") + "/");
        // "Drives" in any case lists the mounted volumes.
        QVERIFY(m_list->SetDirectory("dRIVES"));
        QCOMPARE(m_list->Directory(), QString("Drives"));
        QVERIFY(Captions(*m_list).contains("/"));
        QVERIFY(m_list->topLevelItemCount() <= int(QStorageInfo::mountedVolumes().size()));
    }

    void maskAndUpAndParent()
    {
        QVERIFY(m_list->SetDirectory(Path("alpha")));
        m_list->SetMask("*.txt");
        QVERIFY(m_list->SetDirectory(m_root));
        QCOMPARE(Captions(*m_list), QStringList({ " Parent", "alpha", "Beta", "zeta.txt" }));
        m_list->SetMask("*.*");
        QVERIFY(m_list->SetDirectory(Path("alpha")));
        QVERIFY(m_list->OneLevelUp());
        QCOMPARE(m_list->Directory(), m_root + "/");
        QCOMPARE(m_list->Selected(), QString("alpha")); // the folder we came from
        // The parent entry leads up; at the root it leads to the volumes.
        QCOMPARE(m_list->topLevelItem(0)->data(0, TLsFilelistView28::PathRole).toString(),
            QFileInfo(m_root).absolutePath() + "/");
        QVERIFY(m_list->SetDirectory("/"));
        QCOMPARE(m_list->topLevelItem(0)->data(0, TLsFilelistView28::PathRole).toString(), QString("Drives"));
        QVERIFY(m_list->OneLevelUp());
        QCOMPARE(m_list->Directory(), QString("Drives"));
    }

    void eventsAndSelection()
    {
        QVERIFY(m_list->SetDirectory(m_root));
        QStringList changes;
        int doubleClicks = 0;
        m_list->OnItemChange = [&](QObject* sender, const QString& path) {
            QCOMPARE(sender, m_list.get());
            changes << path;
        };
        m_list->setCurrentItem(m_list->FindItem("zeta.txt"));
        m_list->setCurrentItem(m_list->FindItem("alpha"));
        QCOMPARE(changes, QStringList({ Path("zeta.txt"), Path("alpha") + "/" }));
        QCOMPARE(m_list->SelectedPath(), Path("alpha") + "/");
        m_list->FindItem("zeta.txt")->setSelected(true);
        m_list->topLevelItem(0)->setSelected(true); // the parent entry is never part of it
        QCOMPARE(m_list->SelectedPaths().size(), 2);
        QVERIFY(!m_list->SelectedPaths().contains(
            m_list->topLevelItem(0)->data(0, TLsFilelistView28::PathRole).toString()));

        // Without a handler a double-click enters the folder; with one the
        // handler decides.
        emit m_list->itemActivated(m_list->FindItem("alpha"), 0);
        QCOMPARE(m_list->Directory(), Path("alpha") + "/");
        m_list->OnDblClick = [&](QObject*) { ++doubleClicks; };
        emit m_list->itemActivated(m_list->topLevelItem(0), 0);
        QCOMPARE(doubleClicks, 1);
        QCOMPARE(m_list->Directory(), Path("alpha") + "/");
    }

    void chooserAndListMoveTogether()
    {
        TLsDirTreeCombo28 chooser;
        chooser.SetFileList(m_list.get());
        int changes = 0;
        chooser.OnPathChange = [&](QObject*) { ++changes; };
        chooser.SetSelectedPath(Path("Beta"));
        QCOMPARE(m_list->Directory(), Path("Beta") + "/");
        QCOMPARE(chooser.currentText(), Path("Beta") + "/");
        QVERIFY(m_list->OneLevelUp());
        QCOMPARE(chooser.SelectedPath(), m_root + "/");
        QCOMPARE(changes, 2);
        // A folder that does not exist (a stale default directory) moves
        // neither, and the chooser keeps showing where the list is.
        chooser.SetSelectedPath(Path("gone"));
        QCOMPARE(m_list->Directory(), m_root + "/");
        QCOMPARE(chooser.SelectedPath(), m_root + "/");
        QCOMPARE(chooser.currentText(), m_root + "/");
    }

    void newFolderAndRename()
    {
        QVERIFY(m_list->SetDirectory(m_root));
        QCOMPARE(m_list->NewFolder(), QString("New Folder"));
        QCOMPARE(m_list->NewFolder(), QString("New Folder (2)"));
        QVERIFY(QFileInfo(Path("New Folder (2)")).isDir());
        QCOMPARE(m_list->Selected(), QString("New Folder (2)"));

        // Rename refuses a taken name, a path and an empty name, and says so.
        QVERIFY(!m_list->RenameEntry("zeta.txt", "Apple.html"));
        QVERIFY(!m_list->RenameEntry("zeta.txt", "../escape.txt"));
        QVERIFY(!m_list->RenameEntry("zeta.txt", ""));
        QCOMPARE(m_errors.size(), 3);
        QVERIFY(QFile::exists(Path("zeta.txt")) && QFile::exists(Path("Apple.html")));
        QCOMPARE(QFileInfo(Path("Apple.html")).size(), qint64(10));

        // In place: the editor's text becomes the new name.
        m_list->show();
        m_list->setCurrentItem(m_list->FindItem("zeta.txt"));
        m_list->RenameSelected();
        auto* editor = m_list->findChild<QLineEdit*>();
        QVERIFY(editor);
        editor->setFocus();
        QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(editor, "omega.txt");
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(Path("omega.txt")), 2000);
        QVERIFY(!QFile::exists(Path("zeta.txt")));
        QCOMPARE(m_list->Selected(), QString("omega.txt"));
    }

    void deleteGoesToTheTrashAfterAsking()
    {
        QVERIFY(m_list->SetDirectory(m_root));
        QStringList asked;
        bool agree = false;
        m_list->OnConfirmDelete = [&](QObject*, const QStringList& paths) {
            asked = paths;
            return agree;
        };
        m_list->FindItem("zeta.txt")->setSelected(true);
        m_list->FindItem("Beta")->setSelected(true);
        QCOMPARE(m_list->DeleteSelected(), 0);
        QCOMPARE(asked.size(), 2);
        QVERIFY(QFile::exists(Path("zeta.txt")));

        agree = true;
        m_list->FindItem("zeta.txt")->setSelected(true);
        m_list->FindItem("Beta")->setSelected(true);
        QCOMPARE(m_list->DeleteSelected(), 2);
        QVERIFY(!QFile::exists(Path("zeta.txt")));
        QVERIFY(!QFileInfo::exists(Path("Beta")));
        QCOMPARE(Captions(*m_list), QStringList({ " Parent", "alpha", "Apple.html" }));
        // Both are in a trash folder, not gone.
        QStringList trashed;
        QDirIterator it(m_tmp->path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString p = it.next();
            if (p.contains("Trash") && p.contains("/files/"))
                trashed << QFileInfo(p).fileName();
        }
        QVERIFY2(trashed.contains("zeta.txt") && trashed.contains("Beta"), qPrintable(trashed.join(",")));
        QVERIFY(m_errors.isEmpty());
    }
};

QTEST_MAIN(LocalPaneTest)
#include "test_localpane.moc"
