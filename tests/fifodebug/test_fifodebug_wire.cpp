// What the UsbFifo dialog puts on the wire and makes of what comes back,
// against a recording D2XX library (tests/fifodebug/FakeD2xx.cpp) that keeps
// every block written and delivers the bytes a test feeds.
#include <QComboBox>
#include <QPlainTextEdit>
#include <QtTest>
#include <atomic>
#include <thread>
#include <vector>

#include "FifoTestUtil.h"

using namespace usbfifo;
using fifotest::Harness;
using fifotest::WaitFor;

namespace {

struct Fake {
    void (*reset)() = nullptr;
    void (*fail)(const char*, int) = nullptr;
    void (*feed)(const void*, unsigned) = nullptr;
    void (*feedOnRead)(const void*, unsigned) = nullptr;
    unsigned (*writeCount)() = nullptr;
    int (*writeAt)(unsigned, void*, unsigned) = nullptr;
    unsigned long (*reads)() = nullptr;

    QList<QByteArray> Writes() const {
        QList<QByteArray> blocks;
        for (unsigned i = 0; i < writeCount(); ++i) {
            QByteArray block(4096, '\0');
            const int n = writeAt(i, block.data(), static_cast<unsigned>(block.size()));
            block.truncate(n);
            blocks << block;
        }
        return blocks;
    }
    void Feed(const QByteArray& bytes) const {
        feed(bytes.constData(), static_cast<unsigned>(bytes.size()));
    }
};

}  // namespace

class WireTest : public QObject {
    Q_OBJECT
  private:
    Fake m_fake;

    static void Open(Harness& h) {
        h.Click(IDC_GET_DEVICE_COUNT);
        QCOMPARE(h.Text(IDC_SERIAL), QStringLiteral("FAKE01"));
        h.Click(IDC_OPEN_DEVICE);
        QVERIFY(h.dlg->DeviceOpen());
    }

  private slots:
    void initTestCase() {
        setenv("KORVA_FTD2XX", FAKE_D2XX_PATH, 1);
        const char* path = FAKE_D2XX_PATH;
        using fifotest::Symbol;
        m_fake.reset = Symbol<void (*)()>(path, "fake_d2xx_reset");
        m_fake.fail = Symbol<void (*)(const char*, int)>(path, "fake_d2xx_fail");
        m_fake.feed = Symbol<void (*)(const void*, unsigned)>(path, "fake_d2xx_feed");
        m_fake.feedOnRead = Symbol<void (*)(const void*, unsigned)>(path, "fake_d2xx_feed_on_read");
        m_fake.writeCount = Symbol<unsigned (*)()>(path, "fake_d2xx_write_count");
        m_fake.writeAt = Symbol<int (*)(unsigned, void*, unsigned)>(path, "fake_d2xx_write_at");
        m_fake.reads = Symbol<unsigned long (*)()>(path, "fake_d2xx_reads");
        QVERIFY(m_fake.reset && m_fake.fail && m_fake.feed && m_fake.feedOnRead &&
                m_fake.writeCount && m_fake.writeAt && m_fake.reads);
    }
    void init() { m_fake.reset(); }

    void bytesOnTheWire_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("enter");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("typed bytes only")
            << QStringLiteral("Hello") << false << QByteArray("Hello");
        QTest::newRow("with enter") << QStringLiteral("Hello") << true << QByteArray("Hello\r");
        QTest::newRow("empty line with enter") << QString() << true << QByteArray("\r");
        QTest::newRow("empty line alone") << QString() << false << QByteArray();
        QTest::newRow("blanks kept") << QStringLiteral(" a  b ") << false << QByteArray(" a  b ");
        QTest::newRow("Latin-1 is one byte")
            << QStringLiteral("\u00e9\u00ff") << false << QByteArray("\xe9\xff");
    }
    void bytesOnTheWire() {
        QFETCH(QString, line);
        QFETCH(bool, enter);
        QFETCH(QByteArray, sent);
        Harness h;
        Open(h);
        h.SetChecked(IDC_SEND_ENTER, enter);
        h.Write(line);
        QCOMPARE(m_fake.Writes(), QList<QByteArray>{sent});
        QVERIFY(h.messages.isEmpty());
    }

    void returnKeyWritesOnce() {
        Harness h;
        h.dlg->show();
        Open(h);
        QLineEdit* line = h.Command()->lineEdit();
        line->setFocus();
        QTest::keyClicks(line, QStringLiteral("Hello"));
        QTest::keyClick(line, Qt::Key_Return);
        fifotest::Settle();
        QCOMPARE(m_fake.Writes(), QList<QByteArray>{QByteArray("Hello\r")});
        QCOMPARE(h.Command()->count(), 1);
    }

    void wideCharacterIsRefused() {
        Harness h;
        Open(h);
        h.Write(QStringLiteral("G\u00f6\u4e2d"));  // the last one needs more than a byte
        QVERIFY(m_fake.Writes().isEmpty());
        QCOMPARE(h.messages.size(), 1);
        QVERIFY(h.messages[0].contains(QStringLiteral("nothing was written")));
        h.Write(QStringLiteral("ok"));  // and the terminal goes on
        QCOMPARE(m_fake.Writes(), QList<QByteArray>{QByteArray("ok\r")});
    }

    void historyKeepsFifteenNewestFirst() {
        Harness h;
        Open(h);
        for (int i = 1; i <= 16; ++i) h.Write(QStringLiteral("line%1").arg(i));
        QComboBox* history = h.Command();
        QCOMPARE(history->count(), 15);
        QCOMPARE(history->itemText(0), QStringLiteral("line16"));
        QCOMPARE(history->itemText(14), QStringLiteral("line2"));
        QCOMPARE(history->findText(QStringLiteral("line1")), -1);

        // A line already there is sent but not moved; the case counts.
        h.Write(QStringLiteral("line5"));
        QCOMPARE(history->count(), 15);
        QCOMPARE(history->itemText(0), QStringLiteral("line16"));
        QCOMPARE(history->itemText(11), QStringLiteral("line5"));
        QCOMPARE(m_fake.Writes().last(), QByteArray("line5\r"));
        h.Write(QStringLiteral("LINE5"));
        QCOMPARE(history->itemText(0), QStringLiteral("LINE5"));
        QCOMPARE(history->findText(QStringLiteral("line2")), -1);

        // An empty line is written but not kept.
        h.Write(QString());
        QCOMPARE(history->itemText(0), QStringLiteral("LINE5"));
        QCOMPARE(m_fake.Writes().last(), QByteArray("\r"));
    }

    void everyByteValueArrives() {
        QByteArray all;
        for (int b = 0; b < 256; ++b) all.append(static_cast<char>(b));
        Harness h;
        Open(h);
        m_fake.Feed(all);
        QVERIFY(WaitFor([&] { return h.dlg->ReceiveCount() == 256; }));
        QCOMPARE(QByteArray::fromStdString(h.dlg->ReceivedText()), all);
        // Every byte is visible in the box; CR and LF end lines.
        const QString shown = qobject_cast<QPlainTextEdit*>(h.Control(IDC_RECEIVED))->toPlainText();
        QCOMPARE(shown.size(), 256);  // LF and CR (in that order) end a line each
        QVERIFY(shown.startsWith(QChar(0x2400)));

        h.Click(IDC_CLEAR);
        h.SetChecked(IDC_CHAR_MODE, false);
        m_fake.Feed(QByteArray("\x00\x7f\x80\xff", 4));
        QVERIFY(WaitFor([&] { return h.dlg->ReceiveCount() == 260; }));
        QCOMPARE(h.dlg->ReceivedText(), std::string("0 127 -128 -1 "));
    }

    void failedReadChangesNothing() {
        Harness h;
        Open(h);
        m_fake.fail("FT_Read", 1);
        const unsigned long before = m_fake.reads();
        m_fake.Feed(QByteArray("lost?"));
        QVERIFY(WaitFor([&] { return m_fake.reads() > before; }));
        fifotest::Settle();
        QCOMPARE(h.dlg->ReceiveCount(), std::int64_t{0});
        QCOMPARE(h.Text(IDC_RECEIVE_COUNT), QStringLiteral("0"));
        QCOMPARE(h.Text(IDC_SPENT_MS), QStringLiteral("0"));
        QVERIFY(h.dlg->ReceivedText().empty());
        // The bytes are still queued: the next notification takes them all.
        m_fake.fail("FT_Read", 0);
        m_fake.Feed(QByteArray("!"));
        QVERIFY(WaitFor([&] { return h.dlg->ReceivedText() == "lost?!"; }));
    }

    // A stream arriving while the GUI thread closes and reopens the device:
    // nothing hangs, and every byte that arrives while the device is open
    // reaches the dialog once.
    void streamAcrossCloseAndReopen() {
        Harness h;
        Open(h);
        std::atomic<bool> stop{false};
        std::atomic<int> fed{0};
        std::thread feeder([&] {
            while (!stop) {
                m_fake.Feed(QByteArray("0123456789"));
                fed += 10;
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
        const fifotest::Watchdog watchdog("closing while bytes stream in",
                                          std::chrono::seconds(30));
        for (int round = 0; round < 20; ++round) {
            fifotest::Settle(10);
            h.Click(IDC_CLOSE_DEVICE);
            QVERIFY(!h.dlg->DeviceOpen());
            h.Click(IDC_OPEN_DEVICE);
            QVERIFY(h.dlg->DeviceOpen());
        }
        stop = true;
        feeder.join();
        // Once the stream is over and settled, a last block arrives exactly once
        // (bytes turned away during a close must not be left behind or doubled).
        fifotest::Settle(300);
        const std::int64_t base = h.dlg->ReceiveCount();
        QVERIFY(base <= fed);
        m_fake.Feed(QByteArray(1000, 'x'));
        QVERIFY(WaitFor([&] { return h.dlg->ReceiveCount() >= base + 1000; }));
        fifotest::Settle();
        QCOMPARE(h.dlg->ReceiveCount(), base + 1000);
        QVERIFY(h.messages.isEmpty());
    }

    // A reply waits for the GUI thread when the close starts; while the close
    // takes it, more bytes arrive and the close then fails. The device stays
    // open, so those bytes must still reach the dialog without any new byte
    // arriving to announce them.
    void bytesDuringFailedCloseAreNotStranded() {
        Harness h;
        Open(h);
        m_fake.Feed(QByteArray("first "));
        QVERIFY(fifotest::DeliveryWaits(*h.dlg));
        m_fake.feedOnRead("second", 6);
        m_fake.fail("FT_Close", 1);
        const fifotest::Watchdog watchdog("failed close during a delivery",
                                          std::chrono::seconds(20));
        h.Click(IDC_CLOSE_DEVICE);
        QCOMPARE(h.messages, QStringList{QStringLiteral("Close failed.")});
        QCOMPARE(h.dlg->ReceivedText(), std::string("first "));
        QVERIFY(WaitFor([&] { return h.dlg->ReceivedText() == "first second"; }, 2000));
        m_fake.fail("FT_Close", 0);
    }

    void closeFailureThenNewBytes() {
        Harness h;
        Open(h);
        m_fake.fail("FT_Close", 1);
        h.Click(IDC_CLOSE_DEVICE);
        QCOMPARE(h.messages, QStringList{QStringLiteral("Close failed.")});
        QVERIFY(h.dlg->DeviceOpen());
        QVERIFY(h.ListDisabled());
        m_fake.Feed(QByteArray("still here"));
        QVERIFY(WaitFor([&] { return h.dlg->ReceivedText() == "still here"; }));
        m_fake.fail("FT_Close", 0);
    }
};

QTEST_MAIN(WireTest)
#include "test_fifodebug_wire.moc"
