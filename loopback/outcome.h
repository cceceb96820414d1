// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>

// How an echo ended, for the run and for every check: one vocabulary, so that the log, the JSON
// and the exit status name the same thing the same way.
enum class Outcome {
    Passed,       // every byte came back unchanged
    NotOpened,    // the port could not be opened: the error says why
    Console,      // the device is a console, which is never opened
    NotSerial,    // the device is no serial port (/dev/null), which is never opened
    NoData,       // nothing came back in time
    Modem,        // the probe's reply held "OK"
    Mismatch,     // a byte came back changed
    LineLost,     // a read or write failed: the error says how
    Stopped,      // the user stopped it
    NotSupported, // the adapter refused the rate
};

// The word for an outcome in JSON: "passed", "not_opened", ..., "not_supported".
QString outcomeWord(Outcome outcome);

// Whether an outcome is a fault of the cable or the adapter, as against a stop or a rate the
// adapter does not offer.
bool isFault(Outcome outcome);
