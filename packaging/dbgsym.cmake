# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Tollbeck authors

# Run by cpack once it has built the packages. CPack (3.25 at least) lists the debug symbol
# package's files in its md5sums by their paths in the build tree, where dpkg looks for them
# under / instead, and gives that package no copyright. Rebuild it as dh_strip would make it:
# md5sums relative to /, and /usr/share/doc/tollbeck-dbgsym a link to tollbeck's documentation.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT package MATCHES "-dbgsym_[^/]*\\.ddeb$")
        continue()
    endif()
    get_filename_component(tree ${package} DIRECTORY)
    set(tree ${tree}/dbgsym-tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/usr/*)
    set(sums "")
    foreach(file IN LISTS files)
        file(MD5 ${tree}/${file} sum)
        string(APPEND sums "${sum}  ${file}\n")
    endforeach()
    file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
    file(MAKE_DIRECTORY ${tree}/usr/share/doc)
    file(CREATE_LINK tollbeck ${tree}/usr/share/doc/tollbeck-dbgsym SYMBOLIC)
    execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${package}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endforeach()
