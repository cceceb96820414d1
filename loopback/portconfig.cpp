// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "loopback/portconfig.h"

#include "serial/commerror.h"
#include "serial/mscomm.h"
#include "serial/portnumber.h"

using namespace Qt::StringLiterals;

void configureForLoopback(MSComm &comm, const QString &portText, const WarningBox &warn)
{
    const std::function<void()> steps[] = {
        [&] { comm.setCommPort(portNumber(portText)); },
        [&] { comm.setSettings(u"19200,n,8,1"_s); },
        [&] { comm.setDTREnable(true); },
        [&] { comm.setEOFEnable(false); },
        [&] { comm.setHandshaking(0); },
        [&] { comm.setInBufferSize(30000); },
        [&] { comm.setInputMode(1); },
        [&] { comm.setInputLen(0); },
        [&] { comm.setNullDiscard(false); },
        [&] { comm.setOutBufferSize(30000); },
        [&] { comm.setParityReplace(u"?"_s); },
        [&] { comm.setRThreshold(8); },
        [&] { comm.setRTSEnable(true); },
        [&] { comm.setSThreshold(0); },
    };
    for (const auto &step : steps) {
        try {
            step();
        } catch (const CommError &error) {
            warn(u"Error"_s, u"Error %1: %2"_s.arg(qint32(error.number())).arg(error.description()));
        }
    }
}
