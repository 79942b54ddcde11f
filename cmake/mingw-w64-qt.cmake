# Cross build for 64-bit Windows against the Qt that scripts/setup-windows.sh builds. Qt there uses
# the posix thread model (std::mutex), so everything linked with it does too.
set(SOLUPDATE_MINGW_CACHE "/var/cache/solupdate-mingw" CACHE PATH "Cache of scripts/setup-windows.sh")
set(SOLUPDATE_MINGW_QT "${SOLUPDATE_MINGW_CACHE}/qt5" CACHE PATH "Qt 5 built for mingw-w64")
# try_compile reads this file again in a project of its own, which would otherwise take the defaults
# above and leave pkg-config looking in another cache for the rest of the configure run.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SOLUPDATE_MINGW_CACHE SOLUPDATE_MINGW_QT)
list(REMOVE_DUPLICATES CMAKE_TRY_COMPILE_PLATFORM_VARIABLES)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${SOLUPDATE_MINGW_QT} ${SOLUPDATE_MINGW_CACHE})
set(CMAKE_PREFIX_PATH ${SOLUPDATE_MINGW_QT} ${SOLUPDATE_MINGW_CACHE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The code generators run on this machine: Debian's own Qt tools (qtbase5-dev-tools,
# qttools5-dev-tools) stand in for the cross Qt's.
set(SOLUPDATE_QT_HOST_BINS "/usr/lib/qt5/bin" CACHE PATH "moc, uic, rcc and lrelease of the host Qt")
set(Qt5LinguistTools_DIR "/usr/lib/x86_64-linux-gnu/cmake/Qt5LinguistTools" CACHE PATH "")

# pkg-config must see the Windows libraries of the cache, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${SOLUPDATE_MINGW_CACHE}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
