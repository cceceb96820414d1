# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Tollbeck authors

# tollbeck_add_test(NAME SOURCES... LIBS... [TIMEOUT seconds] [LABELS label...] [WRAPPER command])
# Builds one QtTest executable and registers it with CTest, headless and with a time limit; with
# WRAPPER, CTest runs it under that command (umockdev-wrapper).
function(tollbeck_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT;WRAPPER" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE tollbeck_options Qt6::Test ${ARG_LIBS})
    add_test(NAME ${name} COMMAND ${ARG_WRAPPER} $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_LOGGING_RULES=qt.qpa.*=false"
        LABELS "${ARG_LABELS}")
    if(ARG_WRAPPER)
        # A sanitized build wants its runtime before the wrapper's preloaded library.
        set_tests_properties(${name} PROPERTIES
            ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=string_append::verify_asan_link_order=0")
    endif()
endfunction()
