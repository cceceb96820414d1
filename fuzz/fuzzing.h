// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// What every fuzz target shares: the input as bytes, and a check that a parser kept its word.
// Sanitizers catch crashes, leaks and undefined behaviour; expect() catches a wrong answer.

inline QByteArray fuzzInput(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}

// Ends the run as a crash, which libFuzzer keeps as a found input.
inline void expect(bool holds, const char *what)
{
    if (holds)
        return;
    std::fprintf(stderr, "parser broke its word: %s\n", what);
    std::abort();
}
