// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QString>

#include <optional>

// Sets one key of an INI file and leaves every other byte as it was. The settings file is the
// user's: a full rewrite, as QSettings does, would drop their comments, reformat their port map
// and throw away whatever it could not parse. Creates the file (and its directory) if needed.
// Returns nothing on success, otherwise why the file could not be written.
std::optional<QString> setIniValue(const QString &path,
                                   const QString &group,
                                   const QString &key,
                                   const QString &value);
