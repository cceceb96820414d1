// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "tools/plugmodel.h"

PlugModel::PlugModel(PlugWiring wiring, std::chrono::microseconds lag)
    : m_wiring(wiring)
    , m_lag(lag)
{}

bool PlugModel::seen(Output &output) const
{
    const Clock::time_point then = Clock::now() - m_lag;
    auto &switches = output.switches;
    while (switches.size() > 1 && switches[1].first <= then)
        switches.pop_front();
    return switches.front().second;
}

std::optional<ModemLines> PlugModel::modemLines()
{
    const bool rts = seen(m_rts);
    const bool dtr = seen(m_dtr);
    return ModemLines{PlugWiring::level(m_wiring.cts, rts, dtr),
                      PlugWiring::level(m_wiring.dsr, rts, dtr),
                      PlugWiring::level(m_wiring.dcd, rts, dtr),
                      PlugWiring::level(m_wiring.ri, rts, dtr)};
}
