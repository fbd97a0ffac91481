# The Windows program in one folder, with what it needs to start on a PC without Qt or the
# compiler: packed as a portable zip and as an installer (cpack in the build folder).
#
#   salvex.exe  qt.conf  Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll
#   libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll
#   platforms/qwindows.dll  styles/qwindowsvistastyle.dll  translations/qtbase_es.qm
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
get_target_property(_dll Qt6::QWindowsVistaStylePlugin IMPORTED_LOCATION_RELEASE)
_salvex_ship(${_dll} styles)

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

# The packages.
set(_version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_FILE_NAME salvex-${_version}-win64)
set(CPACK_PACKAGE_VENDOR "Salvex by Brel")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Salvex)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Salvex)
# The Start-menu entry starts the program in the Documents folder: the save dialog opens on
# the current folder, and an ordinary user may not write where the program is installed.
set(CPACK_NSIS_CREATE_ICONS_EXTRA "
  SetOutPath '$DOCUMENTS'
  CreateShortCut '$SMPROGRAMS\\\\$STARTMENU_FOLDER\\\\Salvex.lnk' '$INSTDIR\\\\salvex.exe'
  SetOutPath '$INSTDIR'")
set(CPACK_NSIS_DELETE_ICONS_EXTRA "
  Delete '$SMPROGRAMS\\\\$MUI_TEMP\\\\Salvex.lnk'")
set(CPACK_STRIP_FILES ON)
# A 64-bit installer: CPack's default one is 32-bit, which a 64-bit-only Windows (or Wine)
# cannot start, and would put the program under the 32-bit Program Files.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# Also the Start-menu folder's name.
set(CPACK_NSIS_PACKAGE_NAME Salvex)
set(CPACK_NSIS_DISPLAY_NAME Salvex)
set(CPACK_NSIS_INSTALLED_ICON_NAME salvex.exe)
set(CPACK_NSIS_MUI_ICON ${SALVEX_ICO})
set(CPACK_NSIS_MUI_UNIICON ${SALVEX_ICO})
set(CPACK_NSIS_URL_INFO_ABOUT "http://www.salvex.example")
set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
# CPack's uninstaller removes the program's key but leaves the vendor's, empty; this runs
# after it. (Single quotes and a doubled backslash: CPackConfig.cmake is written unescaped.)
string(APPEND CPACK_NSIS_DEFINES "
Function un.onUninstSuccess
  DeleteRegKey /ifempty SHCTX 'Software\\\\${CPACK_PACKAGE_VENDOR}'
FunctionEnd")
# Read by cpack per generator: undoes the Debian package's /usr prefix, set after this.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/WindowsPackageOptions.cmake)
