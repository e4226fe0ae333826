// The JPEG decoder and the preview window on files written here with libjpeg:
// colour, grey and CMYK pictures, damaged ones, a size bomb, and files that
// lead out of the scratch folder.
#include "app/JpegDecode.hpp"
#include "app/untimage.hpp"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cstdlib>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <sys/stat.h>

using app::DecodeJpegFile;
using app::TfrmImage;

namespace {

using Sample = std::array<unsigned char, 4>;

// A picture of one colour; CMYK samples are taken as stored.
QByteArray MakeJpeg(int width, int height, J_COLOR_SPACE space, int components, Sample value,
                    bool adobeMarker = true)
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = width;
    c.image_height = height;
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    c.write_Adobe_marker = adobeMarker;
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(std::size_t(width) * components);
    for (std::size_t i = 0; i < row.size(); ++i)
        row[i] = value[i % components];
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    QByteArray out(reinterpret_cast<const char*>(mem), static_cast<qsizetype>(size));
    std::free(mem);
    return out;
}

QByteArray RgbJpeg(int w, int h, unsigned char r, unsigned char g, unsigned char b)
{
    return MakeJpeg(w, h, JCS_RGB, 3, { r, g, b, 0 });
}

// Where the compressed picture data starts, after the scan header.
qsizetype DataStart(const QByteArray& jpeg)
{
    const qsizetype sos = jpeg.indexOf("\xFF\xDA");
    return sos + 2 + ((uchar(jpeg[sos + 2]) << 8) | uchar(jpeg[sos + 3]));
}

// The headers, then garbage with no marker.
QByteArray GarbageBody(const QByteArray& jpeg)
{
    QByteArray out = jpeg.left(DataStart(jpeg));
    unsigned seed = 12345;
    for (int i = 0; i < 3000; ++i) {
        seed = seed * 1103515245 + 12345;
        out += char((seed >> 16) % 255); // never 0xFF
    }
    return out;
}

// Claims 20000 x 20000 pixels in the frame header.
QByteArray HugeClaim(QByteArray jpeg)
{
    const qsizetype sof = jpeg.indexOf("\xFF\xC0");
    for (int i : { 5, 6, 7, 8 })
        jpeg[sof + i] = char(i % 2 ? 0x4E : 0x20);
    return jpeg;
}

void Write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

QString Rgb(const QColor& c)
{
    return QString("%1,%2,%3").arg(c.red()).arg(c.green()).arg(c.blue());
}

// Colours in a JPEG are close, not exact.
bool Near(const QColor& a, const QColor& b)
{
    return std::abs(a.red() - b.red()) <= 8 && std::abs(a.green() - b.green()) <= 8
        && std::abs(a.blue() - b.blue()) <= 8;
}

} // namespace

class PreviewTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_scratch;
    std::unique_ptr<TfrmImage> m_form;

    QString Scratch(const QString& name) const { return m_scratch + "/" + name; }

    QColor PictureCentre() const
    {
        const QImage image = m_form->Image1->pixmap().toImage();
        return image.pixelColor(image.width() / 2, image.height() / 2);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        m_scratch = m_tmp.path() + "/temp112233";
        const QString outside = m_tmp.path() + "/outside";
        QVERIFY(QDir().mkpath(m_scratch));
        QVERIFY(QDir().mkpath(outside));
        const QByteArray red = RgbJpeg(40, 30, 255, 0, 0);
        Write(Scratch("red.jpg"), red);
        Write(Scratch("blue.jpg"), RgbJpeg(10, 10, 0, 0, 255));
        Write(Scratch("grey.jpg"), MakeJpeg(20, 10, JCS_GRAYSCALE, 1, { 128 }));
        // Red both ways CMYK is stored: Adobe's inverted samples and plain ink.
        Write(Scratch("cmyk-adobe.jpg"), MakeJpeg(16, 16, JCS_CMYK, 4, { 255, 0, 0, 255 }, true));
        Write(Scratch("cmyk-plain.jpg"), MakeJpeg(16, 16, JCS_CMYK, 4, { 0, 255, 255, 0 }, false));
        Write(Scratch("empty.jpg"), {});
        Write(Scratch("corrupt.jpg"), GarbageBody(red));
        // Cut in the middle of the picture data, as an interrupted download is.
        Write(Scratch("truncated.jpg"), red.left((DataStart(red) + red.size()) / 2));
        Write(Scratch("huge.jpg"), HugeClaim(red));
        Write(Scratch("text.jpg"), "not a picture\n");
        Write(outside + "/red.jpg", red);
        QVERIFY(QFile::link(outside + "/red.jpg", Scratch("link-out.jpg")));
        QVERIFY(QFile::link(Scratch("red.jpg"), Scratch("link-in.jpg")));
        QVERIFY(QFile::link(outside, Scratch("sub")));
        QCOMPARE(::mkfifo(Scratch("fifo.jpg").toLocal8Bit().constData(), 0600), 0);

        m_form = std::make_unique<TfrmImage>();
    }

    void decode_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QSize>("size"); // invalid: the decode fails
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<QString>("error");
        const QColor red(255, 0, 0), none;
        QTest::newRow("RGB") << "red.jpg" << QSize(40, 30) << red << "";
        QTest::newRow("grey") << "grey.jpg" << QSize(20, 10) << QColor(128, 128, 128) << "";
        QTest::newRow("CMYK, Adobe") << "cmyk-adobe.jpg" << QSize(16, 16) << red << "";
        QTest::newRow("CMYK, plain") << "cmyk-plain.jpg" << QSize(16, 16) << red << "";
        QTest::newRow("garbage body") << "corrupt.jpg" << QSize() << none << "";
        QTest::newRow("truncated") << "truncated.jpg" << QSize() << none << "";
        QTest::newRow("size bomb") << "huge.jpg" << QSize() << none << "too large";
        QTest::newRow("not a JPEG") << "text.jpg" << QSize() << none << "";
        QTest::newRow("empty") << "empty.jpg" << QSize() << none << "";
        QTest::newRow("missing") << "missing.jpg" << QSize() << none << "No such file";
    }
    void decode()
    {
        QFETCH(QString, file);
        QFETCH(QSize, size);
        QFETCH(QColor, colour);
        QFETCH(QString, error);
        QImage image(1, 1, QImage::Format_Mono);
        std::string why;
        const bool ok = DecodeJpegFile(Scratch(file).toStdString(), image, &why);
        QCOMPARE(ok, size.isValid());
        if (ok) {
            QCOMPARE(image.size(), size);
            QCOMPARE(image.format(), QImage::Format_RGB888);
            const QColor c = image.pixelColor(size.width() / 2, size.height() / 2);
            QVERIFY2(Near(c, colour), qPrintable(Rgb(c)));
        } else {
            QCOMPARE(image.size(), QSize(1, 1)); // left as it was
            QVERIFY(!why.empty());
            QVERIFY2(QString::fromStdString(why).contains(error), why.c_str());
        }
    }

    void window()
    {
        QCOMPARE(m_form->windowTitle(), QString("frmImage"));
        QCOMPARE(m_form->size(), QSize(190, 220));
        QVERIFY(m_form->windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(m_form->Image1->size(), QSize(150, 150));
        QVERIFY(m_form->Image1->hasScaledContents());
        QVERIFY(m_form->chkImageCache->isChecked());
        const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY((m_form->geometry().center() - centre).manhattanLength() <= 2);

        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        QVERIFY(m_form->ShowImagePreview(Scratch("red.jpg").toStdString(), m_scratch.toStdString()));
        QVERIFY(!QGuiApplication::overrideCursor());
        QVERIFY(m_form->isVisible());
        QCOMPARE(m_form->Image1->pixmap().size(), QSize(40, 30));
    }

    // Each row starts from the blue picture on a hidden window.
    void preview_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QColor>("picture");
        QTest::addColumn<QString>("error");
        const QColor red(255, 0, 0), blue(0, 0, 255);
        QTest::newRow("RGB") << Scratch("red.jpg") << true << red << "";
        QTest::newRow("empty: previous picture") << Scratch("empty.jpg") << true << blue << "";
        QTest::newRow("missing: previous picture") << Scratch("missing.jpg") << true << blue << "";
        QTest::newRow("garbage body") << Scratch("corrupt.jpg") << false << blue << "";
        QTest::newRow("link out") << Scratch("link-out.jpg") << false << blue << "symbolic link";
        QTest::newRow("link within") << Scratch("link-in.jpg") << false << blue << "symbolic link";
        QTest::newRow("through a linked folder") << Scratch("sub/red.jpg") << false << blue << "scratch folder";
        QTest::newRow("the folder itself") << m_scratch << false << blue << "scratch folder";
        QTest::newRow("named pipe") << Scratch("fifo.jpg") << false << blue << "regular file";
    }
    void preview()
    {
        QFETCH(QString, file);
        QFETCH(bool, shown);
        QFETCH(QColor, picture);
        QFETCH(QString, error);
        const std::string scratch = m_scratch.toStdString();
        QVERIFY(m_form->ShowImagePreview(Scratch("blue.jpg").toStdString(), scratch));
        m_form->hide();

        QCOMPARE(m_form->ShowImagePreview(file.toStdString(), scratch), shown);
        QCOMPARE(m_form->isVisible(), shown);
        QVERIFY2(Near(PictureCentre(), picture), qPrintable(Rgb(PictureCentre())));
        const QString why = QString::fromStdString(m_form->PreviewError());
        QCOMPARE(why.isEmpty(), shown);
        QVERIFY2(why.contains(error), qPrintable(why));
    }
};

QTEST_MAIN(PreviewTest)
#include "test_preview.moc"
