# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Tollbeck authors

# What the toolchain files share: Debian's cross compilers for TOLLBECK_TRIPLET, the libraries
# where multiarch puts them (no find root: they live in /usr/lib/TRIPLET beside this machine's),
# and qemu's user mode to run what is built, which CTest puts before every test program.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${TOLLBECK_TRIPLET})
set(CMAKE_C_COMPILER ${TOLLBECK_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TOLLBECK_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TOLLBECK_TRIPLET})
# The programs find their libraries, the C library among them, where multiarch installs them,
# through its loader in /lib. Not -L /usr/TRIPLET: the cross compiler's own C library there is
# of another build, and mixed with the multiarch one a program's first thread never starts.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TOLLBECK_QEMU})
# moc, rcc and Qt's other build tools are this machine's.
set(QT_HOST_PATH /usr CACHE PATH "Where Qt's build tools for this machine are")
# GCC notes that C++17 passes some pairs differently from GCC 9 on ARM: of no concern to a
# program built whole by one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
