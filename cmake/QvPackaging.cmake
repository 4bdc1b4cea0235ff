# What an install holds besides the programs and the library, and the
# Debian packages made from the install rules (scripts/package).
#
# Install components, one per Debian package:
#   runtime      libqvmodbusrtu.so.1                      libqvmodbusrtu1
#   development  header, .so link, pkg-config, CMake      libqvmodbusrtu-dev
#   tools        qvreader, readersim, man pages,          qvreader
#                bash completion
#   python       the Python package                       python3-qvmodbusrtu
#   demo         readerdemo, .desktop entry, icon         readerdemo

option(QV_DEB_LAYOUT "Lay the install out for Debian packages: copyright and changelog per package (scripts/package sets it)" OFF)
set(QV_PACKAGE_MAINTAINER "qvmodbusrtu maintainers <maintainers@users.noreply.c-seed-f09c224f.example>"
  CACHE STRING "Maintainer named in the Debian packages: Name <address>")

# Man pages, made from each program's own --help at build time; they need
# the program to run here, so not in a cross build, nor an instrumented one
# (whose leak report at exit would fail the build).
if(NOT CMAKE_CROSSCOMPILING AND NOT WIN32 AND NOT QV_SANITIZE)
  set(_qv_man_dir ${CMAKE_BINARY_DIR}/man)
  file(MAKE_DIRECTORY ${_qv_man_dir})
  set(_qv_pages)
  foreach(_prog qvreader readersim)
    if(NOT TARGET ${_prog})
      continue()
    endif()
    get_target_property(_src ${_prog} SOURCE_DIR)
    add_custom_command(OUTPUT ${_qv_man_dir}/${_prog}.1.gz
      COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/manpage.sh $<TARGET_FILE:${_prog}> ${_src}/${_prog}.1.in
              ${_qv_man_dir}/${_prog}.1.gz ${PROJECT_VERSION}
      DEPENDS ${_prog} ${_src}/${_prog}.1.in ${PROJECT_SOURCE_DIR}/cmake/manpage.sh
              ${PROJECT_SOURCE_DIR}/cmake/help2roff.awk
      COMMENT "Man page of ${_prog} from its --help" VERBATIM)
    list(APPEND _qv_pages ${_qv_man_dir}/${_prog}.1.gz)
  endforeach()
  if(_qv_pages)
    install(FILES ${_qv_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
  if(TARGET readerdemo)  # a window has no --help: its page is written by hand
    add_custom_command(OUTPUT ${_qv_man_dir}/readerdemo.1.gz
      COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/readerdemo/readerdemo.1 > ${_qv_man_dir}/readerdemo.1.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/readerdemo/readerdemo.1 VERBATIM)
    list(APPEND _qv_pages ${_qv_man_dir}/readerdemo.1.gz)
    install(FILES ${_qv_man_dir}/readerdemo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT demo)
  endif()
  if(_qv_pages)
    add_custom_target(man_pages ALL DEPENDS ${_qv_pages})
  endif()
  if(TARGET qvreader)
    install(FILES ${PROJECT_SOURCE_DIR}/tools/qvreader/qvreader.bash-completion
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qvreader COMPONENT tools)
  endif()
endif()

# The loader finds a library installed into a system prefix only once its
# cache is rebuilt: root's install does that, anyone else is told. Not for a
# staged install (DESTDIR), which is a package in the making.
if(NOT WIN32)
  install(CODE "set(_qv_libdir [[${CMAKE_INSTALL_LIBDIR}]])" COMPONENT runtime)
  install(CODE [[
    if(NOT IS_ABSOLUTE "${_qv_libdir}")
      set(_qv_libdir "${CMAKE_INSTALL_PREFIX}/${_qv_libdir}")
    endif()
    if("$ENV{DESTDIR}" STREQUAL "")
      find_program(_qv_ldconfig ldconfig PATHS /sbin /usr/sbin NO_CACHE)
      execute_process(COMMAND id -u OUTPUT_VARIABLE _qv_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
      set(_qv_searched FALSE)
      if(_qv_ldconfig)
        execute_process(COMMAND ${_qv_ldconfig} -v -N OUTPUT_VARIABLE _qv_dirs ERROR_QUIET)
        string(REGEX MATCHALL "(^|\n)/[^:\n]*:" _qv_dirs "${_qv_dirs}")
        file(REAL_PATH "${_qv_libdir}" _l)
        foreach(_d IN LISTS _qv_dirs)
          string(STRIP "${_d}" _d)
          string(REGEX REPLACE ":$" "" _d "${_d}")
          file(REAL_PATH "${_d}" _d)
          if(_d STREQUAL _l)
            set(_qv_searched TRUE)
          endif()
        endforeach()
      endif()
      if(_qv_searched AND _qv_uid STREQUAL "0")
        execute_process(COMMAND ${_qv_ldconfig} RESULT_VARIABLE _qv_rc)
        if(_qv_rc EQUAL 0)
          message(STATUS "Ran ldconfig: programs find libqvmodbusrtu.so.1 in ${_qv_libdir}")
        else()
          message(WARNING "ldconfig failed; run it before using libqvmodbusrtu.so.1 from ${_qv_libdir}")
        endif()
      elseif(_qv_searched)
        message(STATUS "libqvmodbusrtu.so.1 is in ${_qv_libdir}: run 'sudo ldconfig' so programs find it")
      else()
        message(STATUS "libqvmodbusrtu.so.1 is in ${_qv_libdir}, where the loader does not look: "
          "run programs built against it with LD_LIBRARY_PATH=${_qv_libdir}, or add the directory "
          "to /etc/ld.so.conf.d/ and run 'sudo ldconfig' (qvreader, readerdemo and the Python package installed with them find it by themselves)")
      endif()
    endif()
  ]] COMPONENT runtime)
endif()

if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()

# ---- Debian packages -------------------------------------------------------

set(_qv_lib_pkg libqvmodbusrtu${PROJECT_VERSION_MAJOR})
set(_qv_deb_names runtime ${_qv_lib_pkg} development libqvmodbusrtu-dev tools qvreader
  python python3-qvmodbusrtu demo readerdemo)
set(_qv_components runtime development tools python)
if(TARGET readerdemo)
  list(APPEND _qv_components demo)
endif()

if(QV_DEB_LAYOUT)
  # Every package carries the copyright and a changelog (Debian policy 12.5, 12.7).
  string(TIMESTAMP QV_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  string(TIMESTAMP QV_PACKAGE_YEAR "%Y" UTC)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/deb/changelog.in ${CMAKE_BINARY_DIR}/deb/changelog @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/deb/copyright.in ${CMAKE_BINARY_DIR}/deb/copyright @ONLY)
  execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/deb/changelog COMMAND_ERROR_IS_FATAL ANY)
endif()
# Each component's package name, from the one list above.
while(_qv_deb_names)
  list(POP_FRONT _qv_deb_names _comp _pkg)
  string(TOUPPER ${_comp} _upper)
  set(CPACK_DEBIAN_${_upper}_PACKAGE_NAME ${_pkg})
  if(QV_DEB_LAYOUT AND _comp IN_LIST _qv_components)
    install(FILES ${CMAKE_BINARY_DIR}/deb/copyright ${CMAKE_BINARY_DIR}/deb/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_pkg} COMPONENT ${_comp})
  endif()
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qvmodbusrtu)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QV_PACKAGE_MAINTAINER})
# CPack puts any other summary above each package's own description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL ${_qv_components})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_SOURCE qvmodbusrtu)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# dpkg-shlibdeps names the libraries' packages; our own library is found in
# the build tree and named by hand below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/qvmodbusrtu)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(_qv_about "qvmodbusrtu talks to a 125 kHz RFID card reader over a serial line
(Modbus RTU, RS-485) or Modbus TCP: card numbers, LED and buzzer, the
reader's settings and registers.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "library for a Modbus RTU/TCP RFID card reader
${_qv_about}

This package holds the shared library: a flat C interface of thirteen
functions.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/deb/library/triggers)
# With the trigger in place, CPack's own postinst and postrm (an ldconfig
# call each) are taken out again after packing.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb/triggers-only.cmake)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${_qv_lib_pkg} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "library for a Modbus RTU/TCP RFID card reader (development files)
${_qv_about}

This package holds what programs are built with: the header
qvmodbusrtu.h, the pkg-config file and the CMake package
(find_package(qvmodbusrtu)).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${_qv_lib_pkg} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool for a Modbus RTU/TCP RFID card reader
${_qv_about}

This package holds qvreader, which reads cards, drives the LED and
buzzer, shows and changes every setting and finds a reader's bit rate
and station id, and readersim, a simulated reader to try them without
hardware.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, ${_qv_lib_pkg} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/deb/python3/postinst ${PROJECT_SOURCE_DIR}/cmake/deb/python3/prerm)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python 3 package for a Modbus RTU/TCP RFID card reader
${_qv_about}

This package holds the Python package qvmodbusrtu (ctypes over the
library): a card number in three lines.")

set(CPACK_DEBIAN_DEMO_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_DEMO_PACKAGE_DEPENDS "${_qv_lib_pkg} (>= ${PROJECT_VERSION})")
# The window is in Simplified Chinese first: without a CJK font it shows boxes.
set(CPACK_DEBIAN_DEMO_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_DEMO_DESCRIPTION "desktop program for a Modbus RTU/TCP RFID card reader
${_qv_about}

This package holds readerdemo, a Qt 6 window (Simplified Chinese,
switchable to English) that polls the card number, drives the LED and
buzzer and edits the reader's configuration registers.")

include(CPack)
