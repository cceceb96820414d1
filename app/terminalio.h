// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>

#include <memory>

class QSocketNotifier;

// What the terminal face promises scripts and supervisors: results on standard output,
// diagnostics on standard error, documented exit statuses, and death by the signal that
// stopped it, once the port is closed.
namespace Terminal {

// Exit statuses, as shell scripts expect them. Stopped by a signal, the program ends by that
// signal, which a shell reports as 128 + N.
enum Status : int { Success = 0, NonePassed = 1, Usage = 2, OutputFailed = 3 };

// SIGINT, SIGTERM, SIGHUP and SIGQUIT as a request to stop, from construction until finish():
// the handler notes the signal, where the run looks for it, and wakes the event loop. Every
// signal is caught, a second one as well, so that none ends the program with the port open
// and none is lost. A closed standard output fails the write rather than ending the program.
class StopSignals
{
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // The first signal received; 0 for none.
    int received() const;
    // Whether every signal received was SIGINT: Ctrl+C, which ends an open-ended soak as ping.
    bool onlyInterrupted() const;
    // Once the port is closed: ends the program by the signal received, or, with none, puts
    // the signals' default actions back and returns status. A signal that came after the last
    // look is not lost. keepInterrupt: a Ctrl+C alone ended what it was meant to end.
    int finish(int status, bool keepInterrupt);

private:
    static void handle(int signal);
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// Ends the program as that signal would have, so that a shell running it sees the death by the
// signal and stops its script too; exiting with 128 + N would let the script carry on.
[[noreturn]] void dieBy(int signal);

// Standard output, each text handed on at once so that a user at a terminal watches the dump
// grow. The first write that fails is kept: the run stops at it.
class Output
{
public:
    void write(const QString &text);
    int error() const { return m_error; }

private:
    int m_error = 0;
};

// One diagnostic on standard error, as given.
void writeError(const QString &text);

// The exit status once everything is written: status, unless standard output failed; a reader
// that went away (| head) ends the program by SIGPIPE, quietly, as other tools do.
int finished(const Output &out, int status);

// Writes text to standard output: Success, or how that failed.
int print(const QString &text);

} // namespace Terminal
