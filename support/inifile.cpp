// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "support/inifile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

using namespace Qt::StringLiterals;

namespace {

// "[name]" gives name; anything else gives a null array.
QByteArray sectionName(const QByteArray &line)
{
    const QByteArray trimmed = line.trimmed();
    if (!trimmed.startsWith('[') || !trimmed.endsWith(']'))
        return {};
    return trimmed.mid(1, trimmed.size() - 2).trimmed();
}

bool isKeyLine(const QByteArray &line, const QByteArray &key)
{
    const QByteArray trimmed = line.trimmed();
    return trimmed.startsWith(key) && trimmed.mid(key.size()).trimmed().startsWith('=');
}

// The line ending a file uses: a file written on Windows keeps CR LF.
QByteArray lineEnding(const QByteArray &text)
{
    return text.contains("\r\n") ? QByteArray("\r\n") : QByteArray("\n");
}

} // namespace

std::optional<QString> setIniValue(const QString &path,
                                   const QString &group,
                                   const QString &key,
                                   const QString &value)
{
    QByteArray text;
    const QFileInfo info(path);
    if (info.exists()) {
        // Opening refuses a directory too.
        QFile existing(path);
        if (!existing.open(QIODevice::ReadOnly))
            return u"%1 cannot be read"_s.arg(path);
        text = existing.readAll();
    } else if (!QDir().mkpath(info.absolutePath())) {
        return u"the folder of %1 cannot be made"_s.arg(path);
    }

    const QByteArray wantedGroup = group.toUtf8();
    const QByteArray wantedKey = key.toUtf8();
    const QByteArray entry = wantedKey + '=' + value.toUtf8();
    QList<QByteArray> lines;
    for (qsizetype start = 0; start < text.size();) {
        const qsizetype newline = text.indexOf('\n', start);
        const qsizetype end = newline < 0 ? text.size() : newline + 1;
        lines << text.mid(start, end - start);
        start = end;
    }

    const QByteArray eol = lineEnding(text);
    QByteArray section;
    qsizetype header = -1; // the line after the group's first header
    bool replaced = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (const QByteArray name = sectionName(lines[i]); !name.isNull()) {
            section = name;
            if (section == wantedGroup && header < 0)
                header = i + 1;
        } else if (section == wantedGroup && isKeyLine(lines[i], wantedKey)) {
            lines[i] = entry + lineEnding(lines[i]); // every copy, whichever a reader takes
            replaced = true;
        }
    }
    if (!replaced && header >= 0) {
        lines.insert(header, entry + eol);
    } else if (!replaced) {
        if (!text.isEmpty() && !text.endsWith('\n'))
            lines << eol;
        lines << '[' + wantedGroup + ']' + eol << entry + eol;
    }

    // Written aside and renamed into place, so a failure cannot leave the file half written.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return u"%1 cannot be written (%2)"_s.arg(path, file.errorString());
    for (const QByteArray &line : std::as_const(lines))
        file.write(line);
    if (!file.commit())
        return u"%1 cannot be written (%2)"_s.arg(path, file.errorString());
    // A damaged line above the group (a quote left open runs on over the lines below it) can
    // hide the entry from the program that reads it back: say so rather than claim a save.
    const QSettings check(path, QSettings::IniFormat);
    if (check.value(group + u'/' + key).toString() != value)
        return u"%1 was written, but a damaged line in it hides %2 in [%3]"_s.arg(path, key, group);
    return std::nullopt;
}
