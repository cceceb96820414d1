// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/deviceclass.h"

#include <QFile>

#include <cstdio>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The slaves of /dev/ptmx: majors 136 to 143.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;

} // namespace

QString charDeviceClass(dev_t device)
{
    const unsigned major = ::major(device);
    if (major >= kFirstPtySlaveMajor && major <= kLastPtySlaveMajor)
        return u"tty"_s;
    char path[64];
    char subsystem[256];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/subsystem", major, ::minor(device));
    const ssize_t length = ::readlink(path, subsystem, sizeof subsystem - 1);
    if (length <= 0)
        return {};
    subsystem[length] = '\0';
    const QString link = QFile::decodeName(subsystem);
    return link.mid(link.lastIndexOf(u'/') + 1);
}

QString nonTerminalClass(const QString &path)
{
    struct stat node
    {};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
        return {};
    const QString kind = charDeviceClass(node.st_rdev);
    return kind == u"tty"_s ? QString() : kind;
}
