// Pieces of UsbFifo without a device: the received-data display, the bytes of
// a command line, and the Linux explanations over a made-up sysfs tree.
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "ByteText.h"
#include "FifoTestUtil.h"
#include "UsbDiagnosis.h"

using namespace usbfifo;

namespace {

void WriteFile(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
}

QString Render(const QList<QByteArray>& blocks) {
    bool afterCr = false;
    QString shown;
    for (const QByteArray& b : blocks)
        shown += RenderForDisplay(std::string_view(b.constData(), b.size()), afterCr);
    return shown;
}

}  // namespace

class UnitsTest : public QObject {
    Q_OBJECT
  private slots:
    void lineEndsAcrossBlocks_data() {
        QTest::addColumn<QList<QByteArray>>("blocks");
        QTest::addColumn<QString>("shown");
        QTest::newRow("CR") << QList<QByteArray>{"OK\r", "OK\r"} << QStringLiteral("OK\nOK\n");
        QTest::newRow("CR LF in one block")
            << QList<QByteArray>{"a\r\nb"} << QStringLiteral("a\nb");
        QTest::newRow("CR LF split") << QList<QByteArray>{"a\r", "\nb"} << QStringLiteral("a\nb");
        QTest::newRow("LF alone") << QList<QByteArray>{"a\n\nb"} << QStringLiteral("a\n\nb");
        QTest::newRow("LF CR") << QList<QByteArray>{"a\n\rb"} << QStringLiteral("a\n\nb");
        QTest::newRow("controls visible")
            << QList<QByteArray>{QByteArray("\x00\x1b\x7f\x85\xe9", 5)}
            << QString::fromUtf16(u"\u2400\u241b\u2421\ufffd\u00e9");
    }
    void lineEndsAcrossBlocks() {
        QFETCH(QList<QByteArray>, blocks);
        QFETCH(QString, shown);
        QCOMPARE(Render(blocks), shown);
    }

    void scanFindsFtdiChips() {
        QTemporaryDir root;
        const QString sys = root.path() + "/sys";
        const QString dev = root.path() + "/dev";
        const QString devices = sys + "/bus/usb/devices/";
        const QString drivers = sys + "/bus/usb/drivers/";
        // An FT232R bound to ftdi_sio, a hub, and an FTDI chip of an unknown product.
        WriteFile(devices + "1-1.2/idVendor", "0403\n");
        WriteFile(devices + "1-1.2/idProduct", "6001\n");
        WriteFile(devices + "1-1.2/serial", "KT0001\n");
        WriteFile(devices + "1-1.2/product", "KT300 USB\n");
        WriteFile(devices + "1-1.2/busnum", "1\n");
        WriteFile(devices + "1-1.2/devnum", "4\n");
        QDir().mkpath(devices + "1-1.2:1.0");
        QDir().mkpath(drivers + "ftdi_sio");
        QVERIFY(QFile::link(drivers + "ftdi_sio", devices + "1-1.2:1.0/driver"));
        WriteFile(dev + "/bus/usb/001/004", "");
        WriteFile(devices + "1-1/idVendor", "1d6b\n");
        WriteFile(devices + "2-3/idVendor", "0403\n");
        WriteFile(devices + "2-3/idProduct", "abcd\n");
        WriteFile(devices + "2-3/busnum", "2\n");
        WriteFile(devices + "2-3/devnum", "9\n");
        QDir().mkpath(devices + "2-3:1.0");

        const std::vector<FtdiChip> chips = ScanFtdiChips(sys.toStdString(), dev.toStdString());
        QCOMPARE(chips.size(), size_t{2});
        const FtdiChip& kt = chips[0];
        QCOMPARE(QString::fromStdString(kt.sysName), QStringLiteral("1-1.2"));
        QCOMPARE(kt.product, 0x6001);
        QCOMPARE(QString::fromStdString(kt.serial), QStringLiteral("KT0001"));
        QCOMPARE(QString::fromStdString(kt.devNode), dev + "/bus/usb/001/004");
        QVERIFY(kt.nodeAccessible);
        QVERIFY(kt.productKnown);
        QCOMPARE(kt.interfaces.size(), size_t{1});
        QCOMPARE(QString::fromStdString(kt.interfaces[0].driver), QStringLiteral("ftdi_sio"));
        const FtdiChip& other = chips[1];
        QVERIFY(!other.nodeAccessible);  // no node at all
        QVERIFY(!other.productKnown);
        QVERIFY(other.interfaces[0].driver.empty());
        {
            fifotest::ScopedEnv pids("KORVA_FTDI_PIDS", "ABCD");
            QVERIFY(ScanFtdiChips(sys.toStdString(), dev.toStdString())[1].productKnown);
        }

        LibraryState hw;
        hw.loaded = true;
        hw.path = "/opt/korva/lib/libkorva_ftd2xx.so";
        const QString text = QString::fromStdString(ExplainNoDevice(hw, true, 0, chips));
        QVERIFY2(text.contains("echo -n 1-1.2:1.0 | sudo tee /sys/bus/usb/drivers/ftdi_sio/unbind"),
                 qPrintable(text));
        QVERIFY2(text.contains("60-korva-ftdi.rules") && text.contains("/bus/usb/002/009"),
                 qPrintable(text));
        QVERIFY2(text.contains("KORVA_FTDI_PIDS=abcd"), qPrintable(text));
    }

    void explanations_data() {
        QTest::addColumn<bool>("noAccess");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("says");
        QTest::newRow("no permission, listed with an empty serial")
            << true << QString() << QStringList{""}
            << QStringLiteral("no permission to read and write");
        QTest::newRow("unknown serial")
            << false << QStringLiteral("KT0009") << QStringList{"KT0001"}
            << QStringLiteral("listed now: KT0001");
        QTest::newRow("listed, nothing in the way")
            << false << QStringLiteral("KT0001") << QStringList{"KT0001"}
            << QStringLiteral("Another program may have the device open");
    }
    void explanations() {
        QFETCH(bool, noAccess);
        QFETCH(QString, serial);
        QFETCH(QStringList, listed);
        QFETCH(QString, says);
        FtdiChip chip;
        chip.sysName = "1-1";
        chip.vendor = 0x0403;
        chip.product = 0x6014;
        chip.serial = "KT0001";
        chip.devNode = "/dev/bus/usb/001/002";
        chip.nodeAccessible = !noAccess;
        chip.productKnown = true;
        std::vector<std::string> serials;
        for (const QString& s : listed) serials.push_back(s.toStdString());
        LibraryState hw{true, "libftd2xx.so", false};
        const QString text = QString::fromStdString(
            ExplainOpenFailure(hw, serial.toStdString(), 3, serials, {chip}));
        QVERIFY2(text.contains(says), qPrintable(text));
        QVERIFY2(text.contains("FT_DEVICE_NOT_OPENED (3)"), qPrintable(text));
    }

    void missingLibraryNamesTheFix() {
        fifotest::ScopedEnv lib("KORVA_FTD2XX", nullptr);
        const QString text = QString::fromStdString(ExplainNoDevice({}, false, 1, {}));
        QVERIFY2(text.contains("libftd2xx.so") && text.contains("libkorva_ftd2xx.so") &&
                     text.contains("UsbFifo --simulate"),
                 qPrintable(text));
        fifotest::ScopedEnv forced("KORVA_FTD2XX", "/x/libmine.so");
        const QString forcedText = QString::fromStdString(ExplainNoDevice({}, false, 1, {}));
        QVERIFY2(forcedText.contains("KORVA_FTD2XX names /x/libmine.so"), qPrintable(forcedText));
    }
};

QTEST_GUILESS_MAIN(UnitsTest)
#include "test_fifodebug_units.moc"
