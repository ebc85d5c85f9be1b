# The fleet link's Debian package, dorvane-mqtt, beside the service's: one
# CPack component each. Every install() without a component belongs to the
# service's ("service", CMAKE_INSTALL_DEFAULT_COMPONENT_NAME); the link's
# binary and the files here to "link". Included by packaging/CMakeLists.txt
# before CPack, in its scope.
set(DORVANE_LINK_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/dorvane-mqtt)
set(DORVANE_LINK_DIR ${CMAKE_CURRENT_LIST_DIR})
# The link, and the code-set applier beside it (dorvanectl as the database's owner).
install(FILES ${DORVANE_LINK_DIR}/dorvane-mqtt.service ${DORVANE_LINK_DIR}/dorvane-mqtt-apply.service
        DESTINATION ${DORVANE_SYSTEMD_UNIT_DIR} COMPONENT link)
install(PROGRAMS ${DORVANE_LINK_DIR}/dorvane-mqtt.init
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d RENAME dorvane-mqtt COMPONENT link)
install(FILES ${DORVANE_LINK_DIR}/dorvane-mqtt.logrotate
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME dorvane-mqtt
        COMPONENT link)
# lintian's findings that are right for this package, each with its reason.
install(FILES ${DORVANE_LINK_DIR}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME dorvane-mqtt COMPONENT link)
# No configuration in /etc: the link starts once the administrator writes
# one, from the sample here.
install(FILES ${PROJECT_SOURCE_DIR}/docs/fleet.md ${PROJECT_SOURCE_DIR}/share/dorvane-mqtt.conf
              ${PROJECT_SOURCE_DIR}/share/mosquitto-center.conf
        DESTINATION ${DORVANE_LINK_DOCDIR} COMPONENT link)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL service link)
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME dorvane)
set(CPACK_DEBIAN_LINK_PACKAGE_NAME dorvane-mqtt)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
# Each package's summary is the first line of its description: CPack would
# put the one CPACK_PACKAGE_DESCRIPTION_SUMMARY before both.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
set(CPACK_COMPONENT_LINK_DESCRIPTION
    "fleet link of the dorvane access-control service (MQTT 5)\ndorvane-mqtt publishes the access events the dorvane service writes to its\noutbox folder, in order and each at least once, and the unit's state to an\nMQTT broker. An event is forgotten only once the broker has acknowledged it.")
# The outbox's lines are versioned ("v":1): a newer service keeps the link's
# contract, so the link needs the service at least as new as itself.
set(CPACK_DEBIAN_LINK_PACKAGE_DEPENDS "dorvane (>= ${PROJECT_VERSION}), adduser")
set(CPACK_DEBIAN_LINK_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
if(CMAKE_CROSSCOMPILING)
  string(APPEND CPACK_DEBIAN_LINK_PACKAGE_DEPENDS
         ", libc6, libstdc++6, libgcc-s1, libmosquitto1")
endif()
set(CPACK_DEBIAN_LINK_PACKAGE_SECTION net)
set(CPACK_DEBIAN_LINK_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_LINK_PACKAGE_CONTROL_EXTRA
    ${DORVANE_LINK_DIR}/postinst ${DORVANE_LINK_DIR}/prerm ${DORVANE_LINK_DIR}/postrm
    ${DORVANE_LINK_DIR}/conffiles)
