# The Windows installer and a portable zip, made by CPack from the cross build
# (`cpack` in build-windows/): ethernet-loader-<version>-win64.exe (NSIS;
# Debian's nsis package runs makensis here) and ethernet-loader-<version>-win64.zip.
# Both hold the window of each brand and ethernet-loader-cli.exe.
#
# The window keeps its settings file in the folder it is started in. The
# Start-menu entries therefore start it in a folder of the user's own,
# %LOCALAPPDATA%\Ethernet Loader, where it may write; the shell expands the
# variable for whoever starts it. The installer makes that folder for the
# user who installs, and Active Setup makes it for every other user at
# their next logon.
if(NOT TARGET ethernet-loader OR NOT TARGET ethernet-loader-cli)
  return()
endif()

install(TARGETS ethernet-loader ethernet-loader-cli RUNTIME DESTINATION . COMPONENT loader)
if(NOT LOADER_BRAND_VARIANT_1)
  install(TARGETS ethernet-loader-brand1 RUNTIME DESTINATION . COMPONENT loader)
endif()
# The Wireshark plugin for support traces: copied from here into Wireshark's
# personal plugin folder, as the README says.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/wireshark/meterboot.lua DESTINATION wireshark COMPONENT loader)
# The licence goes with the programs; the zip has no page to show it on.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT loader)

set(_folder "Ethernet Loader")
set(_settings_dir "%LOCALAPPDATA%\\${_folder}")
# A Start-menu entry per brand, named after the product ("|" cannot be in a file name).
set(_links)
function(loader_start_menu_link executable variant)
  string(REPLACE " | " " - " name "${LOADER_BRAND${variant}_PRODUCT} Ethernet Loader")
  set(_links ${_links} "${executable}" "${name}" PARENT_SCOPE)
endfunction()
if(LOADER_BRAND_VARIANT_1)
  loader_start_menu_link(ethernet-loader 1)
else()
  loader_start_menu_link(ethernet-loader 0)
  loader_start_menu_link(ethernet-loader-brand1 1)
endif()

set(_create "")
set(_delete "")
# CreateShortCut takes the working directory from $OUTDIR; it is set to the
# unexpanded variable on purpose.
string(APPEND _create "  StrCpy $OUTDIR '${_settings_dir}'\n")
while(_links)
  list(POP_FRONT _links executable name)
  string(APPEND _create
    "  CreateShortCut '$SMPROGRAMS\\$STARTMENU_FOLDER\\${name}.lnk' '$INSTDIR\\${executable}.exe'\n")
  string(APPEND _delete "  Delete '$SMPROGRAMS\\$MUI_TEMP\\${name}.lnk'\n")
endwhile()
string(APPEND _create "  SetOutPath '$INSTDIR'\n")

# $1 is a double quote: CPack would take one written here apart.
set(_active_setup "Software\\Microsoft\\Active Setup\\Installed Components\\EthernetLoader")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "
  ExpandEnvStrings $0 '%LOCALAPPDATA%'
  CreateDirectory '$0\\${_folder}'
  WriteRegStr HKLM '${_active_setup}' '' '${_folder}'
  WriteRegStr HKLM '${_active_setup}' 'Version' '${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR}'
  IntFmt $1 '%c' 34
  WriteRegStr HKLM '${_active_setup}' 'StubPath' '$1$SYSDIR\\cmd.exe$1 /d /c mkdir $1${_settings_dir}$1'
")
# The settings files there are the users' own and stay; the folder goes when empty.
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "
  DeleteRegKey HKLM '${_active_setup}'
  ExpandEnvStrings $0 '%LOCALAPPDATA%'
  RMDir '$0\\${_folder}'
")
set(CPACK_NSIS_CREATE_ICONS_EXTRA "${_create}")
set(CPACK_NSIS_DELETE_ICONS_EXTRA "${_delete}")
# CPack writes these into a CMake file of its own: its backslashes must survive that.
foreach(v CPACK_NSIS_EXTRA_INSTALL_COMMANDS CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS CPACK_NSIS_CREATE_ICONS_EXTRA
          CPACK_NSIS_DELETE_ICONS_EXTRA)
  string(REPLACE "\\" "\\\\" ${v} "${${v}}")
endforeach()

set(CPACK_GENERATOR NSIS64 ZIP)
set(CPACK_PACKAGE_NAME ethernet-loader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${LOADER_BRAND0_MAKER}")
set(CPACK_PACKAGE_FILE_NAME ethernet-loader-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY "${_folder}")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY EthernetLoader)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
# The installer's licence page: the whole text, as Windows has no copy of its own.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Also the Start-menu folder's name: no "/" in it.
set(CPACK_NSIS_PACKAGE_NAME "${_folder}")
set(CPACK_NSIS_DISPLAY_NAME "QT510x/QT520x Ethernet Loader ${PROJECT_VERSION}")
set(CPACK_NSIS_INSTALLED_ICON_NAME ethernet-loader.exe)
set(CPACK_NSIS_MUI_ICON ${CMAKE_BINARY_DIR}/win32/ethernet-loader.ico)
set(CPACK_NSIS_MUI_UNIICON ${CMAKE_BINARY_DIR}/win32/ethernet-loader.ico)
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
# A 64-bit installer, like the programs it carries (nsis ships the amd64 stubs).
set(CPACK_NSIS_DEFINES "  Target amd64-unicode")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_UNINSTALL_NAME Uninstall)
# Signing, when the release has a certificate (scripts/sign-windows.sh): the
# programs once staged, before they are packed, and the uninstaller as
# makensis writes it into the installer. Without one, both leave the files be.
set(CPACK_LOADER_SIGN_SCRIPT ${PROJECT_SOURCE_DIR}/scripts/sign-windows.sh)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/staged.cmake)
string(APPEND CPACK_NSIS_DEFINES "\n  !uninstfinalize `'${CPACK_LOADER_SIGN_SCRIPT}' --if-configured '%1'`")
# The installer stores the time of each file it carries, so CPack's page file,
# written just before makensis runs, is dated SOURCE_DATE_EPOCH like the rest.
string(APPEND CPACK_NSIS_DEFINES
       "\n  !system `sh -c 'test -z $SOURCE_DATE_EPOCH || touch -d @$SOURCE_DATE_EPOCH NSIS.InstallOptions.ini'`")
# The zip unpacks into a folder of its own (CPack's default), ready to run from there.
include(CPack)

# What the installer and the zip hold (scripts/release.sh builds this).
add_custom_target(release_files DEPENDS ethernet-loader ethernet-loader-cli)
if(NOT LOADER_BRAND_VARIANT_1)
  add_dependencies(release_files ethernet-loader-brand1)
endif()
