# What `cmake --install` puts where, and the Debian package CPack makes of it
# (`cpack -G DEB` in a Release build folder: libupgrade_<release>_amd64.deb).
#
# The package never carries the sample data files of data/sample: made-up
# author numbers loaded into a real library would corrupt its catalogue. It
# makes the data folder /var/lib/libupgrade (<prefix>/var/lib/libupgrade for
# another prefix, as refdata::DefaultDataDirs derives it) and leaves it
# empty, for the library's own zzm.dat, other.dat and MarcRule.txt; purging
# the package removes it only when it is still empty.
include(GNUInstallDirs)

set(_programs)
foreach(program libupgrade libupgrade-cli libsql libsql-server)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND _programs ${program})
  endif()
endforeach()
# A stripped install (the package's) also drops the sections no program needs
# at run time, as Debian's own packaging does.
set(_install_code "set(_programs \"${_programs}\")
  set(_bindir \"${CMAKE_INSTALL_BINDIR}\")
  set(_strip \"${CMAKE_STRIP}\")\n")
string(APPEND _install_code [[
  if(CMAKE_INSTALL_DO_STRIP AND _strip)
    foreach(p IN LISTS _programs)
      execute_process(COMMAND "${_strip}" --remove-section=.comment --remove-section=.note
                              "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${_bindir}/${p}"
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()
]])
install(CODE "${_install_code}")
# The data folder, made empty by an install; the package leaves it to its
# maintainer scripts instead (packaging/debian/postinst), so that removing
# the package never complains about the library's files in it.
install(CODE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/")
    set(_data "/var/lib/libupgrade")
  else()
    set(_data "${CMAKE_INSTALL_PREFIX}/var/lib/libupgrade")
  endif()
  message(STATUS "Installing: $ENV{DESTDIR}${_data}")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${_data}")
]] COMPONENT data_folder)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/libupgrade.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/libupgrade.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
file(GLOB _fixtures ${PROJECT_SOURCE_DIR}/data/fixtures/*.sql)
install(FILES ${_fixtures} DESTINATION ${CMAKE_INSTALL_DOCDIR}/fixtures)

# The manual pages, written in man format in doc/man/, installed compressed
# as Debian does.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
file(GLOB _man_pages ${PROJECT_SOURCE_DIR}/doc/man/*.1)
set(_man_gz)
foreach(page ${_man_pages})
  get_filename_component(_name ${page} NAME)
  set(_gz ${PROJECT_BINARY_DIR}/man/${_name}.gz)
  add_custom_command(OUTPUT ${_gz}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                     COMMAND ${GZIP_EXECUTABLE} -9nc ${page} > ${_gz}
                     DEPENDS ${page} VERBATIM)
  list(APPEND _man_gz ${_gz})
endforeach()
# The package's changelog, compressed as Debian installs it.
set(_changelog_gz ${PROJECT_BINARY_DIR}/man/changelog.gz)
add_custom_command(OUTPUT ${_changelog_gz}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                   COMMAND ${GZIP_EXECUTABLE} -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
                           > ${_changelog_gz}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(man_pages ALL DEPENDS ${_man_gz} ${_changelog_gz})
install(FILES ${_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME libupgrade)
set(CPACK_PACKAGE_VERSION ${LIBUPGRADE_RELEASE})
set(CPACK_PACKAGE_VENDOR Quorvant)
set(CPACK_PACKAGE_CONTACT "Quorvant library system <libupgrade@quorvant.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "upgrade utility of the library management system's database")
# Lines of at most 80 characters: the control file keeps them as they are.
set(CPACK_PACKAGE_DESCRIPTION
    "Brings the database of the library (book-lending) management system,
whatever earlier release it is at, to the schema and reference data of
release ${LIBUPGRADE_RELEASE}. The package holds the desktop program libupgrade,
the same upgrade on the command line (libupgrade-cli), libsql, the shell of
the embedded database engine that stands in for SQL Server, and
libsql-server, which serves a database file of that engine over TDS as SQL
Server does.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quorvant.invalid/libupgrade")
# The shared libraries the programs link (Qt 6, ICU, unixODBC, the C++ runtime)
# become the Depends, with the versions dpkg-shlibdeps finds on the build machine.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# SQL Server is reached through FreeTDS's ODBC driver.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "tdsodbc, odbcinst")
# Everything but the data folder, which the maintainer scripts make.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/debian/postinst"
                                       "${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

if(LIBUPGRADE_BUILD_TESTS)
  add_test(NAME man_pages COMMAND ${PROJECT_SOURCE_DIR}/tools/check-man.sh
           --bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} --readme ${PROJECT_SOURCE_DIR}/README.md
           ${_man_pages})
endif()
