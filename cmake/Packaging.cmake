# The Debian package of the bench tools, made by CPack from this build's own
# install rules (cmake --install puts the same files in the same places):
#
#   cpack --config build/default/CPackConfig.cmake -B build/package
#
# bench-host, monitor-sim, the plug-in for this machine, their manual pages
# (help2man, from --help: one per command of bench-host, and the site
# file's keys in bench-host-site(5)), the READMEs, the Prometheus alert
# rules, the example site files and the service unit bench-host@.service.  What lintian asks of a binary package is done here:
# stripped files, a copyright file, a changelog and manual pages compressed
# with gzip -9n, the libraries depended on found by dpkg-shlibdeps.
include(GNUInstallDirs)

install(TARGETS bench-host monitor-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A folder of bench-host's own: the plug-in is loaded, never linked, so it
# is not a library of the system's search path (and, two levels below
# /usr/lib, the package calls no ldconfig).  bench-host finds it there.
install(TARGETS upsbattery_29 LIBRARY DESTINATION ${UPSB_INSTALL_PLUGIN_DIR})
# bench-host plays the host with the host stand-in, a library of the
# package's own beside the plug-in's folder, found through bench-host's
# RUNPATH relative to its own place.
set(UPSB_INSTALL_HOST_DIR lib/bench-host/host)
install(TARGETS hoststandin LIBRARY DESTINATION ${UPSB_INSTALL_HOST_DIR})
set_target_properties(bench-host PROPERTIES INSTALL_RPATH "$ORIGIN/../${UPSB_INSTALL_HOST_DIR}")

set(upsb_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/bench-host)
file(GLOB upsb_example_sites ${PROJECT_SOURCE_DIR}/tools/bench-host/examples/*.json)
install(FILES ${upsb_example_sites} DESTINATION ${upsb_doc}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${upsb_doc})
# What an operator reads: the project's README (the service, what removing
# the package keeps), the tools' own, and the alert rules README tells a
# Prometheus to load.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${upsb_doc})
install(FILES ${PROJECT_SOURCE_DIR}/tools/bench-host/README.md DESTINATION ${upsb_doc} RENAME README.bench-host.md)
install(FILES ${PROJECT_SOURCE_DIR}/tools/monitor-sim/README.md DESTINATION ${upsb_doc} RENAME README.monitor-sim.md)
install(FILES ${PROJECT_SOURCE_DIR}/tools/bench-host/prometheus/alerts.yml DESTINATION ${upsb_doc})

set(upsb_pack ${PROJECT_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${upsb_pack}/changelog @ONLY)
add_custom_command(OUTPUT ${upsb_pack}/changelog.gz
  COMMAND gzip -9nc ${upsb_pack}/changelog > ${upsb_pack}/changelog.gz
  DEPENDS ${upsb_pack}/changelog)
set(upsb_packaged ${upsb_pack}/changelog.gz)
install(FILES ${upsb_pack}/changelog.gz DESTINATION ${upsb_doc})

# The manual pages, made from each tool's --help and --version, so that
# they say what the programs say; a page per command of bench-host from
# that command's --help.  Each takes its name line, FILES and SEE ALSO from
# packaging/man/PAGE.h2m.  The site file's keys are a page written by hand,
# which a unit test holds to the keys, ranges and defaults the reader takes.
set(upsb_man ${PROJECT_SOURCE_DIR}/packaging/man)
find_program(UPSB_HELP2MAN help2man)
if(UPSB_HELP2MAN)
  set(upsb_help2man ${UPSB_HELP2MAN} --no-info --no-discard-stderr)
  set(upsb_name_bench-host "loads the battery-string plug-in and runs its devices on a bench")
  set(upsb_name_monitor-sim "a battery monitor on a pseudo-terminal or serial port")
  foreach(tool bench-host monitor-sim)
    add_custom_command(OUTPUT ${upsb_pack}/${tool}.1.gz
      COMMAND ${upsb_help2man} "--name=${upsb_name_${tool}}" --include=${upsb_man}/${tool}.h2m
              --output=${upsb_pack}/${tool}.1 $<TARGET_FILE:${tool}>
      COMMAND gzip -9nf ${upsb_pack}/${tool}.1
      DEPENDS ${tool} ${upsb_man}/${tool}.h2m)
    list(APPEND upsb_packaged ${upsb_pack}/${tool}.1.gz)
    install(FILES ${upsb_pack}/${tool}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  foreach(command replay run history report baseline)
    set(page bench-host-${command})
    add_custom_command(OUTPUT ${upsb_pack}/${page}.1.gz
      COMMAND ${upsb_help2man} "--help-option=${command} --help" --include=${upsb_man}/${page}.h2m
              --output=${upsb_pack}/${page}.1 $<TARGET_FILE:bench-host>
      COMMAND gzip -9nf ${upsb_pack}/${page}.1
      DEPENDS bench-host ${upsb_man}/${page}.h2m)
    list(APPEND upsb_packaged ${upsb_pack}/${page}.1.gz)
    install(FILES ${upsb_pack}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
endif()
add_custom_command(OUTPUT ${upsb_pack}/bench-host-site.5.gz
  COMMAND gzip -9nc ${upsb_man}/bench-host-site.5 > ${upsb_pack}/bench-host-site.5.gz
  DEPENDS ${upsb_man}/bench-host-site.5)
list(APPEND upsb_packaged ${upsb_pack}/bench-host-site.5.gz)
install(FILES ${upsb_pack}/bench-host-site.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
# Made with the tools, so that an install or a package finds them.
add_custom_target(package_files ALL DEPENDS ${upsb_packaged})

# Debian's place for units of packages (/lib, not /usr/lib).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bench-host@.service DESTINATION /lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bench-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bench tools of the UPS battery-string plug-in upsbattery_29")
# The extended description; CPack puts the summary above it.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "bench-host loads the battery-string plug-in upsbattery_29.so as the\n"
  "site-monitoring host does and polls its battery monitors on serial\n"
  "lines, keeping their rounds, alarms and health in an SQLite history,\n"
  "with a web page, Prometheus metrics and a report of each string.\n"
  "monitor-sim is a battery monitor on a pseudo-terminal, with faults.\n"
  "The service bench-host@NAME runs the site file /etc/bench-host/NAME.json.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "UPS battery bench developers <bench-host@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
