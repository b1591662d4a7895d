# What `cmake --install` adds beyond the programs and libraries the folders
# install themselves: the control module with its headers, CMake package and
# pkg-config file, the dialog library, udev rules, desktop entries and icons,
# the examples. Included from the top-level CMakeLists.txt after every folder,
# so each rule can check whether its target is part of this build.
#
# The programs find everything relative to their own directory
# (<prefix>/bin/../lib, <prefix>/share/korva), so the tree can be installed
# under any prefix and run without environment variables.
include(CMakePackageConfigHelpers)

option(KORVA_REGISTER_ON_INSTALL
       "Register the control module (kt300ctl --register) for the installing user" OFF)
set(KORVA_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rules go, relative to the prefix (udev reads /usr/lib/udev/rules.d)")

set(korva_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/KORVAKT3002)
set(korva_include_dir ${CMAKE_INSTALL_INCLUDEDIR}/korva)

# --- The control module, its headers and package files ---
if(TARGET KORVAKT3002)
  install(TARGETS KORVAKT3002 EXPORT KORVAKT3002Targets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

  # Only the public headers: the control class (its state is private, so no
  # protocol, link or USB library header goes with it), the late-bound
  # interface KorvaModule.h with the member list and dispatch ids
  # (KorvaMembers.h), and what those include. A field change in the
  # lower layers then changes nothing a host compiles against.
  install(FILES
            ${PROJECT_SOURCE_DIR}/control/Variant.h
            ${PROJECT_SOURCE_DIR}/control/Dispatch.h
            ${PROJECT_SOURCE_DIR}/control/KorvaModule.h
            ${PROJECT_SOURCE_DIR}/control/KorvaMembers.h
            ${PROJECT_SOURCE_DIR}/control/KORVAKT3002Ctl.h
            ${PROJECT_SOURCE_DIR}/control/DialogProvider.h
          DESTINATION ${korva_include_dir})

  install(EXPORT KORVAKT3002Targets NAMESPACE KORVAKT3002:: DESTINATION ${korva_cmake_dir})
  configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/KORVAKT3002Config.cmake.in
    ${PROJECT_BINARY_DIR}/package/KORVAKT3002Config.cmake
    INSTALL_DESTINATION ${korva_cmake_dir}
    PATH_VARS korva_include_dir)
  write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/package/KORVAKT3002ConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/package/KORVAKT3002Config.cmake
                ${PROJECT_BINARY_DIR}/package/KORVAKT3002ConfigVersion.cmake
          DESTINATION ${korva_cmake_dir})

  # The .pc file finds its prefix from its own location, so it stays right
  # whatever --prefix the tree is installed with.
  file(RELATIVE_PATH korva_pc_to_prefix
       /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" korva_pc_to_prefix "${korva_pc_to_prefix}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/korvakt3002.pc.in
                 ${PROJECT_BINARY_DIR}/package/korvakt3002.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/korvakt3002.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

# The dialog library: the module loads it from its own directory.
if(TARGET korva_control_ui)
  install(TARGETS korva_control_ui LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
endif()

# --- Hardware access ---
install(FILES ${PROJECT_SOURCE_DIR}/ftd2xx/60-korva-ftdi.rules DESTINATION ${KORVA_UDEV_RULES_DIR})

# --- Desktop entries and icons ---
# Exec and Icon name the installed files by absolute path, so a launcher works
# even when <prefix>/bin is not on PATH. The prefix is only known at install
# time (cmake --install --prefix), so the entries are written then.
set(korva_desktop_entries "")
if(TARGET stagedesk)
  list(APPEND korva_desktop_entries korva-stagedesk)
endif()
if(TARGET UsbFifo)
  list(APPEND korva_desktop_entries korva-usbfifo)
endif()
foreach(entry ${korva_desktop_entries})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/desktop/${entry}.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(CODE "
    set(KORVA_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(KORVA_ICON \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps/${entry}.svg\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/desktop/${entry}.desktop.in\"
                   \"${PROJECT_BINARY_DIR}/package/${entry}.desktop\" @ONLY)
    file(INSTALL \"${PROJECT_BINARY_DIR}/package/${entry}.desktop\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\")
  ")
endforeach()

# --- Optional self-registration, last so the module is in place ---
if(KORVA_REGISTER_ON_INSTALL AND TARGET kt300ctl)
  install(CODE "
    if(DEFINED ENV{DESTDIR} AND NOT \"\$ENV{DESTDIR}\" STREQUAL \"\")
      message(STATUS \"KORVAKT3002: not registered in a staged install (DESTDIR); run kt300ctl --register after unpacking\")
    else()
      execute_process(COMMAND \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/kt300ctl\" --register
                      RESULT_VARIABLE korva_result)
      if(NOT korva_result EQUAL 0)
        message(WARNING \"KORVAKT3002: kt300ctl --register failed (\${korva_result})\")
      endif()
    endif()
  ")
endif()

if(NOT CMAKE_INSTALL_LIBDIR STREQUAL "lib")
  message(WARNING "CMAKE_INSTALL_LIBDIR is ${CMAKE_INSTALL_LIBDIR}: the installed programs look "
                  "for their libraries in <prefix>/lib and will not find them")
endif()
