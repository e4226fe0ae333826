// The Qt adapter: socket events and posted messages flow inside Qt's loop,
// inside a nested Qt loop (as under a modal dialog), and a synchronous wait of
// the socket layer runs Qt's timers.
#include "ftp/FtpCli.hpp"
#include "net/WSocket.hpp"
#include "platform/EventLoop.hpp"
#include "ui/pump/QtPump.hpp"
#include "ftp_peers.hpp"
#include "peer.hpp"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <thread>

class TestQtPump : public QObject {
    Q_OBJECT
private slots:
    void postedFromAThreadDuringExec();
    void socketEventsInsideANestedLoop();
    void waitForFlagRunsQtTimers();
    void timersKeepFiringDuringALongDownload();
};

void TestQtPump::postedFromAThreadDuringExec()
{
    ui::TQtPump pump;
    int got = 0;
    platform::HWND h = platform::AllocateHWnd([&](platform::UINT, platform::WPARAM, platform::LPARAM) {
        if (++got == 3)
            QCoreApplication::exit(0);
    });
    std::thread poster([h] {
        for (int i = 0; i < 3; ++i) {
            platform::Sleep(10);
            platform::PostMessage(h, platform::WM_USER + 1, 0, 0);
        }
    });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
    int rc = QCoreApplication::exec();
    poster.join();
    platform::DeallocateHWnd(h);
    QCOMPARE(rc, 0);
    QCOMPARE(got, 3);
}

void TestQtPump::socketEventsInsideANestedLoop()
{
    ui::TQtPump pump;
    net::TWSocket listener, client;
    std::unique_ptr<net::TWSocket> peer;
    const int port = testsupport::FreePort();
    listener.SetAddr("127.0.0.1");
    listener.SetPort(QByteArray::number(port).toStdString());
    listener.OnSessionAvailable = [&](net::TCustomWSocket*, std::uint16_t) {
        peer = std::make_unique<net::TWSocket>();
        peer->Dup(listener.Accept());
        peer->SendText("welcome");
    };
    listener.Listen();
    QEventLoop nested;
    std::string got;
    client.OnDataAvailable = [&](net::TCustomWSocket* s, std::uint16_t) {
        got += s->ReceiveText();
        if (got == "welcome")
            nested.quit();
    };
    client.SetAddr("127.0.0.1");
    client.SetPort(QByteArray::number(port).toStdString());
    client.Connect();
    QTimer::singleShot(5000, &nested, [&] { nested.exit(1); });
    QCOMPARE(nested.exec(), 0);
    QCOMPARE(QString::fromStdString(got), QStringLiteral("welcome"));
}

void TestQtPump::waitForFlagRunsQtTimers()
{
    ui::TQtPump pump;
    net::TWSocket s;
    bool flag = false;
    QTimer::singleShot(50, [&] { flag = true; });
    QElapsedTimer t;
    t.start();
    QCOMPARE(s.WaitForFlag(flag), 0);
    QVERIFY(t.elapsed() < 3000);
}

// A peer faster than the reader must not keep Qt from its timers (and so from
// painting and from the stop button) until the transfer ends.
void TestQtPump::timersKeepFiringDuringALongDownload()
{
    ui::TQtPump pump;
    testsupport::TempDir root, local;
    const std::uint64_t size = 512ull << 20;
    testsupport::MakePatternFile(root / "big.bin", size, 5);
    testsupport::PyFtpd server;
    QVERIFY2(server.Start({{"alice", "secret", root.path()}}), server.Log().c_str());
    ftp::TFtpClient c;
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(server.Port()));
    c.SetUserName("alice");
    c.SetPassWord("secret");
    c.SetPassive(true);
    QVERIFY(c.Connect());
    QVERIFY(c.SendType());
    c.SetHostFileName("big.bin");
    c.SetLocalFileName((local / "big.bin").string());

    QElapsedTimer clock;
    qint64 last = -1, worst = 0;
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (last >= 0)
            worst = std::max(worst, now - last);
        last = now;
        ++ticks;
    });
    clock.start();
    timer.start(10);
    QVERIFY(c.Get());
    const qint64 took = clock.elapsed();
    timer.stop();
    QCOMPARE(c.ByteCount(), static_cast<std::int64_t>(size));
    qInfo("download %lld ms, %d ticks, largest gap %lld ms", took, ticks, worst);
    // Generous: a 10 ms timer that gets its turn ticks ten times as often,
    // and a starved one stalls for a good part of the transfer.
    QVERIFY2(ticks >= took / 100 && worst < std::max<qint64>(250, took / 4),
             qPrintable(QStringLiteral("%1 ticks in %2 ms, largest gap %3 ms").arg(ticks).arg(took).arg(worst)));
}

QTEST_GUILESS_MAIN(TestQtPump)
#include "test_qtpump.moc"
