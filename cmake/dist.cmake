# What is installed and packaged: the programs, the client library for agents
# (libjxctl, its headers and pkg-config file), the preload library, man pages
# made from the README, the systemd unit and its configuration.
include(GNUInstallDirs)

# libjxpreload.so: only the wrapped libc calls are exported; the client code
# inside it stays private, so a program that also links libjxctl keeps its own.
add_library(jxpreload SHARED rte/preload/preload.cc rte/ctl/jxctl.cc)
set_target_properties(jxpreload PROPERTIES CXX_VISIBILITY_PRESET hidden
                                           VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(jxpreload PRIVATE dl)
target_link_options(jxpreload PRIVATE -Wl,--no-undefined)
# It loads into programs built without sanitizers: sanitizer builds leave it plain.
foreach(prop COMPILE_OPTIONS LINK_OPTIONS)
  get_target_property(opts jxpreload ${prop})
  if(opts)
    list(FILTER opts EXCLUDE REGEX "^-fsanitize")
    set_target_properties(jxpreload PROPERTIES ${prop} "${opts}")
  endif()
endforeach()

set(JXCTL_SOVERSION 1)
add_library(jxctl SHARED rte/ctl/jxctl.cc)
set_target_properties(jxctl PROPERTIES VERSION ${JXCTL_SOVERSION}.0.0 SOVERSION ${JXCTL_SOVERSION})
configure_file(dist/jxctl.pc.in ${CMAKE_BINARY_DIR}/dist/jxctl.pc @ONLY)

# Programs installed when built.
set(JX_INSTALLED_PROGRAMS jxnode jxproc jxbrctl jxmngctl)
foreach(t ${JX_INSTALLED_PROGRAMS})
  if(TARGET ${t})
    install(TARGETS ${t} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(TARGETS jxpreload LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS jxctl LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES rte/ctl/jxctl.h rte/ctl/jxctl_proto.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/jxctl)
install(FILES rte/sources/jxbridge/jxbridge_ioctl.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/jxbridge)
install(FILES ${CMAKE_BINARY_DIR}/dist/jxctl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Man pages: one README section each (page:section:heading).
set(JX_MAN_PAGES "jxnode:8:Running the node" "jxproc:1:The generic client"
                 "jxbrctl:1:Building a bridge by hand" "jxpreload:8:Agents on the node"
                 "jxmngctl:1:Management devices and application filters")
set(man_outputs "")
foreach(entry ${JX_MAN_PAGES})
  string(REPLACE ":" ";" f "${entry}")
  list(GET f 0 page)
  list(GET f 1 sec)
  list(GET f 2 heading)
  set(roff ${CMAKE_BINARY_DIR}/man/${page}.${sec})
  set(out ${roff}.gz)
  add_custom_command(
    OUTPUT ${out}
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/manpage.sh ${CMAKE_SOURCE_DIR}/README.md ${page}
            ${sec} "${heading}" > ${roff}
    COMMAND gzip -9nf ${roff}
    DEPENDS ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/scripts/manpage.sh
    COMMENT "man page ${page}.${sec}")
  list(APPEND man_outputs ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${sec})
endforeach()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
add_custom_target(manpages ALL DEPENDS ${man_outputs})

# The service: the unit runs a small start script that turns the
# configuration file into jxnode's arguments.
# The unit names full paths; destinations stay relative to the prefix, except
# /etc under /usr, as GNUInstallDirs places it.
set(JX_CONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/jxnode)
set(JX_LIBEXEC_DIR ${CMAKE_INSTALL_FULL_LIBEXECDIR}/jxnode)
set(conf_dest ${CMAKE_INSTALL_SYSCONFDIR}/jxnode)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(conf_dest ${JX_CONF_DIR})
endif()
configure_file(dist/jxnode.service.in ${CMAKE_BINARY_DIR}/dist/jxnode.service @ONLY)
configure_file(dist/jxnode-start.in ${CMAKE_BINARY_DIR}/dist/jxnode-start @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dist/jxnode.service DESTINATION lib/systemd/system)
install(PROGRAMS ${CMAKE_BINARY_DIR}/dist/jxnode-start
        DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/jxnode)
install(FILES dist/jxnode.conf dist/startup.jxproc DESTINATION ${conf_dest})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME jxbridge)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_CONTACT "jxbridge developers <jxbridge@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "User-space access-node bridging stack (jxnode), its tools and agent libraries")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/dist/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
