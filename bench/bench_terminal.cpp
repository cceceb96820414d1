// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// How long tollbeck --list takes, and --check until the first port's heading, for two builds of
// the program run alternately: bench_terminal OLD NEW [ROUNDS]. The ratio is NEW / OLD, medians.

#include "tools/virtualcable.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Milliseconds until the program ends (--list) or has written until (--check).
double timed(const QString &program, const QStringList &arguments, const QByteArray &until)
{
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    QByteArray out;
    if (until.isEmpty()) {
        process.waitForFinished(30000);
    } else {
        while (!out.contains(until) && process.waitForReadyRead(30000))
            out += process.readAllStandardOutput();
    }
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    process.terminate();
    process.waitForFinished(5000);
    return ms;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3) {
        std::fprintf(stderr, "usage: bench_terminal OLD NEW [ROUNDS]\n");
        return 2;
    }
    const int rounds = arguments.size() > 3 ? arguments[3].toInt() : 21;
    VirtualCable cable(VirtualCable::dead());
    QTemporaryDir home;
    QDir(home.path()).mkdir(u"Tollbeck"_s);
    QFile settings(home.filePath(u"Tollbeck/Tollbeck.conf"_s));
    settings.open(QIODevice::WriteOnly);
    settings.write("[Ports]\nCOM1=" + QFile::encodeName(cable.devicePath()) + '\n');
    settings.close();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        qunsetenv(name);

    struct Case
    {
        const char *name;
        QStringList arguments;
        QByteArray until;
    };
    const Case cases[]
        = {{"--list", {u"--list"_s}, {}},
           {"--check, to the first heading", {u"--check"_s, u"1"_s, u"--no-walk"_s}, "COM 1: "}};
    for (const Case &test : cases) {
        std::vector<double> old;
        std::vector<double> now;
        for (int round = 0; round < rounds; ++round) {
            old.push_back(timed(arguments[1], test.arguments, test.until));
            now.push_back(timed(arguments[2], test.arguments, test.until));
        }
        std::printf("%-30s old %7.2f ms  new %7.2f ms  ratio %.3f (medians of %d)\n",
                    test.name,
                    median(old),
                    median(now),
                    median(now) / median(old),
                    rounds);
    }
    return 0;
}
