# SPDX-License-Identifier: MIT
# The Windows program in one folder, with what it needs to start on a PC without Qt or the
# compiler: packed as a portable zip and as an installer (cpack in the build folder).
#
#   salvex.exe  qt.conf  Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll
#   libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll
#   platforms/qwindows.dll  translations/qtbase_es.qm
#   LICENSE.txt  THIRD-PARTY-NOTICES.txt
#
# Every DLL is stripped into the build folder first, so that whatever packs the install
# tree ships stripped files (Debian's libstdc++-6.dll alone is 24 MB with its symbols).

set(SALVEX_QT_TRANSLATIONS /usr/share/qt6/translations CACHE PATH
    "Qt's translations (.qm files are the same on every platform)")

if(NOT CMAKE_STRIP)
    find_program(CMAKE_STRIP x86_64-w64-mingw32-strip REQUIRED)
endif()

file(GLOB _mingw_gcc LIST_DIRECTORIES true "/usr/lib/gcc/x86_64-w64-mingw32/*-posix")
set(_runtime_dirs ${_mingw_gcc} /usr/x86_64-w64-mingw32/lib)
set(_deploy ${CMAKE_BINARY_DIR}/deploy)
set(_stripped)

# Copies FILE stripped to deploy/SUBDIR and installs it into SUBDIR.
function(_salvex_ship file subdir)
    get_filename_component(name "${file}" NAME)
    set(out ${_deploy}/${subdir}/${name})
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${_deploy}/${subdir}
        COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${out} ${file}
        DEPENDS ${file} VERBATIM)
    set(_stripped ${_stripped} ${out} PARENT_SCOPE)
    install(FILES ${out} DESTINATION ${subdir})
endfunction()

foreach(module Core Gui Widgets)
    get_target_property(_dll Qt6::${module} IMPORTED_LOCATION_RELEASE)
    _salvex_ship(${_dll} .)
endforeach()
get_target_property(_dll Qt6::QWindowsIntegrationPlugin IMPORTED_LOCATION_RELEASE)
_salvex_ship(${_dll} platforms)
# No style plugin: the program draws with the classic "windows" style, which is in
# Qt6Widgets.dll itself (common/twips.cpp).

foreach(name libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    unset(_runtime_dll)
    unset(_runtime_dll CACHE)
    find_file(_runtime_dll ${name} PATHS ${_runtime_dirs} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT _runtime_dll)
        message(FATAL_ERROR "${name} not found in ${_runtime_dirs}")
    endif()
    _salvex_ship(${_runtime_dll} .)
endforeach()
unset(_runtime_dll CACHE)
add_custom_target(salvex_deploy ALL DEPENDS ${_stripped})

install(TARGETS salvex RUNTIME DESTINATION .)

# QLibraryInfo reads its paths from qt.conf beside the program, rather than guessing them
# from where Qt6Core.dll lies: the translations folder there for Qt's Spanish buttons; the
# plugins folders beside the program, where Qt looks anyway.
file(WRITE ${_deploy}/qt.conf "[Paths]\nPrefix=.\nPlugins=.\nTranslations=translations\n")
install(FILES ${_deploy}/qt.conf DESTINATION .)
if(NOT EXISTS ${SALVEX_QT_TRANSLATIONS}/qtbase_es.qm)
    message(FATAL_ERROR "qtbase_es.qm is not in ${SALVEX_QT_TRANSLATIONS} (qt6-translations-l10n)")
endif()
install(FILES ${SALVEX_QT_TRANSLATIONS}/qtbase_es.qm DESTINATION translations)

# salvex's licence, and the notices of everything else in the folder, written from what
# was packed (cmake/ThirdPartyNotices.cmake): a file without a notice stops the packing.
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
function(_salvex_debian_version package field out)
    execute_process(COMMAND dpkg-query -W -f=${field} ${package}
        OUTPUT_VARIABLE version RESULT_VARIABLE failed)
    if(failed OR NOT version)
        message(FATAL_ERROR "dpkg-query knows no ${package}: its version goes into the notices")
    endif()
    set(${out} ${version} PARENT_SCOPE)
endfunction()
# Qt for Windows is built from the same Debian source as the host's Qt tools it needs.
_salvex_debian_version(qt6-base-dev [=[${source:Version}]=] QT_DEBIAN_VERSION)
string(REPLACE "+" "%2B" QT_DEBIAN_VERSION_URL ${QT_DEBIAN_VERSION})
_salvex_debian_version(gcc-mingw-w64-x86-64-posix-runtime [=[${Version}]=] GCC_DEBIAN_VERSION)
_salvex_debian_version(gcc-mingw-w64-x86-64-posix-runtime [=[${source:Version}]=] GCC_DEBIAN_SOURCE)
_salvex_debian_version(mingw-w64-x86-64-dev [=[${Version}]=] MINGW_DEBIAN_VERSION)
_salvex_debian_version(qt6-translations-l10n [=[${Version}]=] QTTR_DEBIAN_VERSION)
# How Qt was configured, as the build script does it.
file(READ ${CMAKE_SOURCE_DIR}/scripts/build-windows.sh _script)
if(NOT _script MATCHES "\n *(cmake -G Ninja -S \"\\$src\"[^\n]*\\\\\n([^\n]*\\\\\n)*[^\n]*)\n")
    message(FATAL_ERROR "scripts/build-windows.sh: no Qt configure line for the notices")
endif()
set(QT_CONFIGURE "${CMAKE_MATCH_1}")
string(REPLACE "\"$src\"" "." QT_CONFIGURE "${QT_CONFIGURE}")
string(REPLACE "\"$work/build\"" "build" QT_CONFIGURE "${QT_CONFIGURE}")
string(REPLACE "\"$root/cmake/" "\"" QT_CONFIGURE "${QT_CONFIGURE}")
string(REPLACE "\"$qt.partial\"" "<prefix>" QT_CONFIGURE "${QT_CONFIGURE}")
string(REGEX REPLACE "\n *" "\n        " QT_CONFIGURE "    ${QT_CONFIGURE}")
set(_page ${CMAKE_BINARY_DIR}/licence-page.txt)
set(_notices_config ${CMAKE_BINARY_DIR}/notices-config.cmake)
file(WRITE ${_notices_config} "")
foreach(var QT_DEBIAN_VERSION QT_DEBIAN_VERSION_URL GCC_DEBIAN_VERSION GCC_DEBIAN_SOURCE
        MINGW_DEBIAN_VERSION QTTR_DEBIAN_VERSION QT_CONFIGURE)
    file(APPEND ${_notices_config} "set(${var} [==[${${var}}]==])\n")
endforeach()
file(APPEND ${_notices_config} "set(SECTIONS [==[${CMAKE_SOURCE_DIR}/packaging/licenses]==])
set(SALVEX_LICENSE [==[${CMAKE_SOURCE_DIR}/LICENSE]==])
set(PAGE [==[${_page}]==])\n")
# Last of the install steps: it describes the folder the others have filled.
install(CODE "set(TREE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    include([==[${_notices_config}]==])
    include([==[${CMAKE_CURRENT_LIST_DIR}/ThirdPartyNotices.cmake]==])")

# The packages.
set(_version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_FILE_NAME salvex-${_version}-win64)
set(CPACK_PACKAGE_VENDOR "Salvex by Brel")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Salvex)
set(CPACK_STRIP_FILES ON)
# The installer is salvex's own (cmake/NSIS.template.in): for all users in Program Files
# when run with administrator rights, else for the one user; pages in the system's language.
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
set(CPACK_NSIS_DISPLAY_NAME Salvex)
set(CPACK_NSIS_PACKAGE_NAME Salvex)
set(CPACK_NSIS_URL_INFO_ABOUT "http://www.salvex.example")
set(CPACK_NSIS_MUI_ICON ${SALVEX_ICO})
set(CPACK_NSIS_MUI_UNIICON ${SALVEX_ICO})
set(CPACK_NSIS_MUI_HEADERIMAGE ${SALVEX_INSTALLER_HEADER})
set(CPACK_NSIS_MUI_WELCOMEFINISHPAGE_BITMAP ${SALVEX_INSTALLER_SIDE})
set(CPACK_NSIS_MUI_UNWELCOMEFINISHPAGE_BITMAP ${SALVEX_INSTALLER_SIDE})
# Written by the notices step while cpack installs, read by makensis after it; CPack only
# wants it to exist beforehand.
if(NOT EXISTS ${_page})
    file(WRITE ${_page} "")
endif()
set(CPACK_RESOURCE_FILE_LICENSE ${_page})
# Read by cpack per generator: undoes the Debian package's /usr prefix, set after this.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/WindowsPackageOptions.cmake)
