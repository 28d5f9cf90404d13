# `cmake --install <build> [--prefix P]`: camera-setup to P/bin without capabilities (a Qt process loads plugins
# named by its environment), the helper to P/libexec/camera-setup for group camera-setup only.
if(NOT TARGET camera-setup-helper)
  return()
endif()
install(TARGETS camera-setup-helper RUNTIME DESTINATION libexec/camera-setup
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)

# Group, owner, mode and file capabilities need root and the real file system; a package build (DESTDIR set)
# leaves them to the package's post-install step and can drop this component.
install(CODE [[
  set(helper "${CMAKE_INSTALL_PREFIX}/libexec/camera-setup/camera-setup-helper")
  if(NOT "$ENV{DESTDIR}" STREQUAL "")
    message(STATUS "DESTDIR is set: group, owner and capabilities of ${helper} are left to the package")
  else()
    execute_process(COMMAND getent group camera-setup RESULT_VARIABLE absent OUTPUT_QUIET ERROR_QUIET)
    if(absent)
      execute_process(COMMAND groupadd --system camera-setup RESULT_VARIABLE failed ERROR_VARIABLE why)
      if(failed)
        message(WARNING "could not create the group camera-setup: ${why}")
      endif()
    endif()
    # chown drops file capabilities, so it goes first.
    execute_process(COMMAND chown root:camera-setup "${helper}" RESULT_VARIABLE failed ERROR_VARIABLE why)
    if(failed)
      message(WARNING "could not give ${helper} to root:camera-setup (run the install as root): ${why}")
    endif()
    execute_process(COMMAND chmod 0750 "${helper}")
    execute_process(COMMAND setcap cap_net_raw,cap_net_admin+p "${helper}"
                    RESULT_VARIABLE failed ERROR_VARIABLE why)
    if(failed)
      message(WARNING "setcap on ${helper} failed (${why}): finding cameras by DHCP and installing will need "
                      "root until it has cap_net_raw,cap_net_admin+p")
    else()
      message(STATUS "Granted cap_net_raw,cap_net_admin+p to ${helper}")
    endif()
  endif()
]] COMPONENT grant)
