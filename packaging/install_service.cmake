# SPDX-License-Identifier: Apache-2.0
# Installs the systemd units and the defaults file. Under the prefix /usr, as
# in the package, the defaults file goes to /etc/default and the unit stays
# as written; under any other prefix both live beneath it and the unit
# points there.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(defaults_dir /etc/default)
elseif(IS_ABSOLUTE "${morvix_sysconfdir}")
  set(defaults_dir ${morvix_sysconfdir}/default)
else()
  set(defaults_dir ${CMAKE_INSTALL_PREFIX}/${morvix_sysconfdir}/default)
endif()

# morvix@.service is the template for several receivers on one host,
# morvix-mqtt@.service the one for MQTT bridges.
foreach(name morvix.service morvix@.service morvix-mqtt@.service)
  file(READ ${morvix_packaging_dir}/${name} unit)
  string(REPLACE "/usr/bin/morvix" "${CMAKE_INSTALL_PREFIX}/${morvix_bindir}/morvix" unit "${unit}")
  string(REPLACE "/etc/default/morvix" "${defaults_dir}/morvix" unit "${unit}")
  file(WRITE ${morvix_packaging_build_dir}/${name} "${unit}")
  file(INSTALL ${morvix_packaging_build_dir}/${name}
       DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endforeach()
file(INSTALL ${morvix_packaging_dir}/morvix.default DESTINATION ${defaults_dir} RENAME morvix)
