// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/deviceaccess.h"

#include <QFile>

#include <algorithm>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString groupName(gid_t gid)
{
    const group *entry = ::getgrgid(gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(gid);
}

bool inSessionGroup(gid_t gid)
{
    if (::getegid() == gid)
        return true;
    std::vector<gid_t> groups(size_t(std::max(::getgroups(0, nullptr), 0)));
    const int count = ::getgroups(int(groups.size()), groups.data());
    groups.resize(size_t(std::max(count, 0)));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// The groups the system's group list gives the user now; a session keeps those it began with.
bool inAccountGroup(uid_t uid, gid_t gid)
{
    const passwd *user = ::getpwuid(uid);
    if (!user)
        return false;
    const QByteArray name = user->pw_name;
    const gid_t primary = user->pw_gid;
    int count = 32;
    std::vector<gid_t> groups;
    do {
        groups.resize(size_t(count));
    } while (::getgrouplist(name.constData(), primary, groups.data(), &count) < 0
             && size_t(count) > groups.size());
    groups.resize(size_t(std::max(count, 0)));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// As ls shows it: crw-rw----.
QString modeText(quint32 mode)
{
    QString text = S_ISCHR(mode) ? u"c"_s : S_ISDIR(mode) ? u"d"_s : u"-"_s;
    const char letters[] = "rwx";
    for (int bit = 8; bit >= 0; --bit)
        text += (mode & (1U << bit)) ? QChar(QLatin1Char(letters[(8 - bit) % 3])) : QChar(u'-');
    return text;
}

} // namespace

QString userName(uint uid)
{
    const passwd *user = ::getpwuid(uid);
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(uid);
}

DeviceAccess deviceAccess(const QString &device)
{
    DeviceAccess access;
    access.device = device;
    struct stat node
    {};
    if (::stat(QFile::encodeName(device).constData(), &node) != 0)
        return access;
    const uid_t user = ::geteuid();
    access.owner = userName(node.st_uid);
    access.group = groupName(node.st_gid);
    access.mode = node.st_mode;
    access.isOwner = node.st_uid == user;
    access.inGroup = inSessionGroup(node.st_gid);
    access.joinedGroup = inAccountGroup(user, node.st_gid);
    return access;
}

QString permissionDenied(const DeviceAccess &access)
{
    if (access.owner.isEmpty()) // the node went away before it could be looked at
        return u"%1: permission denied."_s.arg(access.device);
    constexpr quint32 groupMayUse = S_IRGRP | S_IWGRP;
    if (!access.isOwner && !access.inGroup && (access.mode & groupMayUse) == groupMayUse) {
        if (access.joinedGroup)
            return u"%1 needs group %2: you joined it after logging in; log out and in."_s
                .arg(access.device, access.group);
        return u"%1 needs group %2: sudo adduser $USER %2, log out and in."_s.arg(access.device,
                                                                                  access.group);
    }
    return u"%1 is closed to you: owner %2, group %3, mode %4."_s.arg(access.device,
                                                                      access.owner,
                                                                      access.group,
                                                                      modeText(access.mode));
}
