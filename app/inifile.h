#pragma once

#include <QString>

// Sets one key of an INI file and leaves every other byte as it was. The settings file is the
// user's: a full rewrite, as QSettings does, would drop their comments, reformat their port map
// and throw away whatever it could not parse. Creates the file (and its directory) if needed.
// Returns an empty string on success, otherwise why the file could not be written.
QString setIniValue(const QString &path,
                    const QString &group,
                    const QString &key,
                    const QString &value);
