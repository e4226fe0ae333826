// File lists in the clipboard and drag formats: our own lists read back, the
// exact bytes other programs expect, and lists as file managers write them.
#include "ui/FileDropFormats.hpp"

#include <QMimeData>
#include <QTest>

using ui::ReadFileList;
using ui::WriteFileList;

class DropFormatsTest : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<bool>("move");
        QTest::newRow("one, copy") << QStringList { "/tmp/a.txt" } << false;
        QTest::newRow("two, move") << QStringList { "/tmp/a.txt", "/home/u/b" } << true;
        QTest::newRow("blanks") << QStringList { "/tmp/my file .txt", "/tmp/ lead" } << false;
        QTest::newRow("Turkish") << QStringList { QString::fromUtf8("/tmp/çğıİöşü ĞŞ.jpg") } << true;
        QTest::newRow("hash, percent, query")
            << QStringList { "/tmp/#1 100%.txt", "/tmp/a%20b", "/tmp/x?y=1&z" } << false;
        QTest::newRow("newline in a name") << QStringList { "/tmp/two\nlines", "/tmp/c\r" } << true;
    }
    void roundTrip()
    {
        QFETCH(QStringList, paths);
        QFETCH(bool, move);
        QMimeData data;
        WriteFileList(data, paths, move);
        bool readMove = !move;
        QCOMPARE(ReadFileList(data, &readMove), paths);
        QCOMPARE(readMove, move);

        // Each path is one line of each list, whatever is in its name.
        const QByteArray uriList = data.data("text/uri-list");
        QCOMPARE(uriList.count("\r\n"), paths.size());
        QCOMPARE(uriList.count('\n'), paths.size());
        const QList<QByteArray> gnome = data.data("x-special/gnome-copied-files").split('\n');
        QCOMPARE(gnome.size(), paths.size() + 1);
        QCOMPARE(gnome.front(), QByteArray(move ? "cut" : "copy"));
        // Qt's own reader agrees with ours.
        QStringList qtPaths;
        for (const QUrl& url : data.urls())
            qtPaths << url.toLocalFile();
        QCOMPARE(qtPaths, paths);
    }

    void writtenBytes()
    {
        QMimeData data;
        WriteFileList(data, { "/a", QString::fromUtf8("/tmp/a b#%ş.txt") }, false);
        QCOMPARE(data.data("text/uri-list"), QByteArray("file:///a\r\nfile:///tmp/a%20b%23%25%C5%9F.txt\r\n"));
        QCOMPARE(data.data("x-special/gnome-copied-files"),
                 QByteArray("copy\nfile:///a\nfile:///tmp/a%20b%23%25%C5%9F.txt"));
        QCOMPARE(data.data("application/x-kde-cutselection"), QByteArray("0"));
        QCOMPARE(data.text(), QString::fromUtf8("/a\n/tmp/a b#%ş.txt"));

        QMimeData cut;
        WriteFileList(cut, { "/a", "/b" }, true);
        QCOMPARE(cut.data("x-special/gnome-copied-files"), QByteArray("cut\nfile:///a\nfile:///b"));
        QCOMPARE(cut.data("application/x-kde-cutselection"), QByteArray("1"));
    }

    // Formats left empty are not set at all.
    void foreignData_data()
    {
        QTest::addColumn<QByteArray>("uriList");
        QTest::addColumn<QByteArray>("gnome");
        QTest::addColumn<QByteArray>("kde");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<bool>("move");
        const QString turkish = QString::fromUtf8("/home/u/çı.txt");

        QTest::newRow("GNOME cut, no URI list")
            << QByteArray() << QByteArray("cut\nfile:///home/u/a%20b.txt\nfile:///home/u/%C3%A7%C4%B1.txt")
            << QByteArray() << QString() << QStringList { "/home/u/a b.txt", turkish } << true;
        QTest::newRow("GNOME copy, CRLF")
            << QByteArray() << QByteArray("copy\r\nfile:///x\r\nfile:///y\r\n") << QByteArray() << QString()
            << QStringList { "/x", "/y" } << false;
        QTest::newRow("KDE cut") << QByteArray("file:///home/u/a\r\nfile:///home/u/b\r\n") << QByteArray()
                                 << QByteArray("1") << QString() << QStringList { "/home/u/a", "/home/u/b" } << true;
        QTest::newRow("KDE says cut, GNOME says copy: a move")
            << QByteArray("file:///a\r\n") << QByteArray("copy\nfile:///a") << QByteArray("1") << QString()
            << QStringList { "/a" } << true;
        QTest::newRow("URI list alone: a copy")
            << QByteArray("file:///a\n") << QByteArray() << QByteArray() << QString() << QStringList { "/a" }
            << false;
        QTest::newRow("URI list wins over text")
            << QByteArray("file:///a\r\n") << QByteArray() << QByteArray() << QString("/elsewhere")
            << QStringList { "/a" } << false;
        QTest::newRow("comment, web and other-host URLs left out")
            << QByteArray("# from a browser\r\nhttp://example.com/f.zip\r\nfile://otherhost/share/f\r\n"
                          "file://localhost/tmp/l\r\nfile:///tmp/k\r\n")
            << QByteArray() << QByteArray() << QString() << QStringList { "/tmp/l", "/tmp/k" } << false;
        QTest::newRow("only web URLs: no files")
            << QByteArray("https://example.com/a\r\n") << QByteArray() << QByteArray() << QString()
            << QStringList {} << false;
        QTest::newRow("unencoded blank from a careless writer")
            << QByteArray("file:///tmp/a b\r\n") << QByteArray() << QByteArray() << QString()
            << QStringList { "/tmp/a b" } << false;
        QTest::newRow("plain paths") << QByteArray() << QByteArray() << QByteArray()
                                     << QString::fromUtf8("/tmp/a b\n/home/u/çı.txt\n")
                                     << QStringList { "/tmp/a b", turkish } << false;
        QTest::newRow("plain web address is no file list")
            << QByteArray() << QByteArray() << QByteArray() << QString("http://example.com/f.zip")
            << QStringList {} << false;
        QTest::newRow("plain text with one non-path line is no file list")
            << QByteArray() << QByteArray() << QByteArray() << QString("/tmp/a\nhello") << QStringList {} << false;
        QTest::newRow("nothing") << QByteArray() << QByteArray() << QByteArray() << QString() << QStringList {}
                                 << false;
    }
    void foreignData()
    {
        QFETCH(QByteArray, uriList);
        QFETCH(QByteArray, gnome);
        QFETCH(QByteArray, kde);
        QFETCH(QString, text);
        QFETCH(QStringList, paths);
        QFETCH(bool, move);
        QMimeData data;
        if (!uriList.isEmpty())
            data.setData("text/uri-list", uriList);
        if (!gnome.isEmpty())
            data.setData("x-special/gnome-copied-files", gnome);
        if (!kde.isEmpty())
            data.setData("application/x-kde-cutselection", kde);
        if (!text.isEmpty())
            data.setText(text);
        bool readMove = !move;
        QCOMPARE(ReadFileList(data, &readMove), paths);
        QCOMPARE(readMove, move);
    }
};

QTEST_GUILESS_MAIN(DropFormatsTest)
#include "test_dropformats.moc"
