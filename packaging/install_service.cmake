# SPDX-License-Identifier: Apache-2.0
# Installs the systemd unit and the defaults file. Under the prefix /usr, as
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

file(READ ${morvix_packaging_dir}/morvix.service unit)
string(REPLACE "/usr/bin/morvix" "${CMAKE_INSTALL_PREFIX}/${morvix_bindir}/morvix" unit "${unit}")
string(REPLACE "/etc/default/morvix" "${defaults_dir}/morvix" unit "${unit}")
file(WRITE ${morvix_packaging_build_dir}/morvix.service "${unit}")

file(INSTALL ${morvix_packaging_build_dir}/morvix.service
     DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
file(INSTALL ${morvix_packaging_dir}/morvix.default DESTINATION ${defaults_dir} RENAME morvix)
