# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Tollbeck authors

# Built for another architecture (cmake/toolchain-*.cmake), every program the suite runs goes
# through CMAKE_CROSSCOMPILING_EMULATOR, qemu's user mode: CTest puts it before each test
# program, and the programs a test starts itself are reached through a small script that does
# the same (tollbeck_runnable). Without binfmt_misc the kernel could not start them.
set(TOLLBECK_EMULATOR "")
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    set(TOLLBECK_EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR})
endif()

# A test that mocks devices runs under umockdev-wrapper, which preloads libumockdev-preload. On
# another architecture that library must be the foreign one, under the multiarch directory.
set(TOLLBECK_UMOCKDEV_SKIP "")
if(TOLLBECK_EMULATOR AND NOT EXISTS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libumockdev-preload.so.0)
    set(TOLLBECK_UMOCKDEV_SKIP
        "libumockdev0:${CMAKE_SYSTEM_PROCESSOR} is not installed: no umockdev to preload")
endif()

# tollbeck_runnable(VAR TARGET): in VAR, what a test starts to run TARGET: the program itself,
# or, built for another architecture, a script that runs it under the emulator.
function(tollbeck_runnable var target)
    if(NOT TOLLBECK_EMULATOR)
        set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
        return()
    endif()
    set(script ${CMAKE_BINARY_DIR}/emulated/${target})
    list(JOIN TOLLBECK_EMULATOR " " emulator)
    file(GENERATE OUTPUT ${script} CONTENT "#!/bin/sh\nexec ${emulator} $<TARGET_FILE:${target}> \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
    set(${var} ${script} PARENT_SCOPE)
endfunction()

# tollbeck_add_test(NAME SOURCES... LIBS... [TIMEOUT seconds] [LABELS label...] [UMOCKDEV])
# Builds one QtTest executable and registers it with CTest, headless and with a time limit.
# UMOCKDEV runs it under umockdev-wrapper.
function(tollbeck_add_test name)
    cmake_parse_arguments(ARG "UMOCKDEV" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE tollbeck_options Qt6::Test ${ARG_LIBS})
    if(ARG_UMOCKDEV)
        # The emulator is named here: CTest adds it only to a command that is a target.
        add_test(NAME ${name} COMMAND umockdev-wrapper ${TOLLBECK_EMULATOR} $<TARGET_FILE:${name}>)
    else()
        add_test(NAME ${name} COMMAND ${name})
    endif()
    # Under emulation every instruction costs some ten times as much.
    if(TOLLBECK_EMULATOR)
        math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * 3")
    endif()
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_LOGGING_RULES=qt.qpa.*=false"
        LABELS "${ARG_LABELS}")
    if(ARG_UMOCKDEV)
        # A sanitized build wants its runtime before the wrapper's preloaded library, and
        # leaves the test bed's own allocations to it.
        set_tests_properties(${name} PROPERTIES ENVIRONMENT_MODIFICATION
            "ASAN_OPTIONS=string_append::verify_asan_link_order=0;LSAN_OPTIONS=set:suppressions=${CMAKE_SOURCE_DIR}/tests/umockdev.supp")
    endif()
    if(ARG_UMOCKDEV AND TOLLBECK_UMOCKDEV_SKIP)
        message(STATUS "${name} is not run: ${TOLLBECK_UMOCKDEV_SKIP}")
        set_tests_properties(${name} PROPERTIES DISABLED TRUE)
    endif()
endfunction()
