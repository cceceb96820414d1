// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// tollbeck --list with 20 USB adapters planted (umockdev), against the same without the USB
// survey: an older tollbeck given as the argument, or else this one with nothing planted. Then
// how soon --find notices an adapter plugged in. Run under umockdev-wrapper.

#include "tools/usbbed.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int kRounds = 15;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Milliseconds one --list takes.
double listTime(const QString &program)
{
    QProcess list;
    QElapsedTimer clock;
    clock.start();
    list.start(program, {u"--list"_s});
    list.waitForFinished(30000);
    return double(clock.nsecsElapsed()) / 1e6;
}

// Twenty adapters: fourteen ports (FTDI with by-id names, CH340s sharing one), three claimed
// through usbfs, three without a driver.
std::vector<Plant> twenty()
{
    std::vector<Plant> plants;
    for (int n = 0; n < 20; ++n) {
        Plant plant{u"1-%1"_s.arg(n + 1),
                    n + 2,
                    u"0403:6001"_s,
                    u"FT232R USB UART|FTDI|A%1"_s.arg(n),
                    u"ftdi_sio"_s,
                    u"ttyUSB%1"_s.arg(n),
                    u"usb-FTDI_FT232R_USB_UART_A%1-if00-port0"_s.arg(n)};
        if (n >= 10 && n < 14)
            std::tie(plant.ids, plant.names, plant.driver, plant.byId)
                = std::tuple(u"1a86:7523"_s, u"USB Serial||"_s, u"ch341"_s, QString());
        if (n >= 14) {
            plant.tty.clear();
            plant.driver = n < 17 ? u"usbfs"_s : QString();
        }
        plants.push_back(plant);
    }
    return plants;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!mendedUmockdev(argv))
        return 1;
    QCoreApplication app(argc, argv);
    const QString program = QString::fromLocal8Bit(TOLLBECK);
    const QString before = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    std::vector<double> now;
    std::vector<double> then;
    {
        auto bed = std::make_unique<Bed>();
        for (const Plant &plant : twenty())
            bed->plant(plant);
        for (int round = 0; round < kRounds; ++round) {
            now.push_back(listTime(program));
            if (!before.isEmpty())
                then.push_back(listTime(before));
        }
    }
    if (before.isEmpty()) {
        const Bed empty;
        for (int round = 0; round < kRounds; ++round)
            then.push_back(listTime(program));
    }
    std::printf("--list, 20 USB adapters planted: %.1f ms (median of %d)\n", median(now), kRounds);
    std::printf("%s: %.1f ms, so %.2f x\n",
                before.isEmpty() ? "the same with none planted" : "the older tollbeck, same bed",
                median(then),
                median(now) / median(then));

    // --find: from the plug-in to the first look that sees it, five times.
    std::vector<double> notices;
    for (int round = 0; round < 5; ++round) {
        const Bed bed;
        QProcess find;
        find.setReadChannel(QProcess::StandardError);
        find.start(program, {u"--find=10"_s, u"--json"_s});
        find.waitForReadyRead(5000);
        QElapsedTimer clock;
        clock.start();
        QThread::msleep(unsigned(50 + 37 * round)); // at different moments between two looks
        const double planted = double(clock.nsecsElapsed()) / 1e6;
        bed.plant(twenty()[0]);
        find.waitForFinished(15000);
        const QJsonObject json = QJsonDocument::fromJson(find.readAllStandardOutput()).object();
        notices.push_back(json[u"noticed_ms"_s].toDouble() - planted);
    }
    std::printf("--find noticed a plug-in after %.0f ms (median of 5), %.0f ms at most\n",
                median(notices),
                *std::max_element(notices.begin(), notices.end()));
    return 0;
}
