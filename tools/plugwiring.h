// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <algorithm>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

// How a loopback plug ties the control lines. A standard plug for a DE-9 ties RTS to CTS (7-8)
// and DTR to DSR and DCD (4 to 6 and 1), and leaves RI open. Written as a list of what each
// input is tied to, the rest as on the standard plug: "CTS=OFF" is a broken RTS wire,
// "DCD=!DTR" an inverted one, "DSR=ON" a line held on. Plain C++, for the preloaded library too.
struct PlugWiring
{
    enum class Source { Off, On, Rts, Dtr, NotRts, NotDtr };
    Source cts = Source::Rts;
    Source dsr = Source::Dtr;
    Source dcd = Source::Dtr;
    Source ri = Source::Off;

    static bool level(Source source, bool rts, bool dtr)
    {
        switch (source) {
        case Source::On:
            return true;
        case Source::Rts:
            return rts;
        case Source::Dtr:
            return dtr;
        case Source::NotRts:
            return !rts;
        case Source::NotDtr:
            return !dtr;
        default:
            return false;
        }
    }

    // None when the text names an input or a source no plug has.
    static std::optional<PlugWiring> parse(std::string_view text)
    {
        PlugWiring wiring;
        while (!text.empty()) {
            const std::string_view term = text.substr(0, text.find(','));
            text.remove_prefix(std::min(text.size(), term.size() + 1));
            const auto equals = term.find('=');
            if (equals == std::string_view::npos)
                return std::nullopt;
            const std::string_view input = term.substr(0, equals);
            const std::string_view name = term.substr(equals + 1);
            Source *target = input == "CTS"   ? &wiring.cts
                             : input == "DSR" ? &wiring.dsr
                             : input == "DCD" ? &wiring.dcd
                             : input == "RI"  ? &wiring.ri
                                              : nullptr;
            static constexpr std::pair<std::string_view, Source> sources[]
                = {{"OFF", Source::Off},
                   {"ON", Source::On},
                   {"RTS", Source::Rts},
                   {"DTR", Source::Dtr},
                   {"!RTS", Source::NotRts},
                   {"!DTR", Source::NotDtr}};
            const auto *found = std::find_if(std::begin(sources), std::end(sources), [&](auto &s) {
                return s.first == name;
            });
            if (!target || found == std::end(sources))
                return std::nullopt;
            *target = found->second;
        }
        return wiring;
    }
};
