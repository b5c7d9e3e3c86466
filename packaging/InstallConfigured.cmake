# Run at install time, when the prefix is known (cmake --install --prefix, or
# CPack's): the service unit and the job description name the daemon where
# this install puts it, and the configuration goes to /etc/vicar, where the
# daemon reads it, for the /usr prefix (under the prefix for any other, so a
# trial install into a private folder stays there). file(INSTALL) adds
# DESTDIR by itself; the other calls name it.
set(_shipped /usr/libexec/vicar/com.vandrelsys.VolumeSmith.vicar)
set(_daemon "${CMAKE_INSTALL_PREFIX}/${VICAR_LIBEXEC_DIR}/vicar/com.vandrelsys.VolumeSmith.vicar")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(_config /etc/vicar)
else()
  set(_config "${CMAKE_INSTALL_PREFIX}/etc/vicar")
endif()
# One staging folder per destination: the package and a trial install may run at once.
string(MD5 _destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(_staging "${VICAR_BINARY_DIR}/configured-${_destination}")
foreach(_source resources/systemd/com.vandrelsys.VolumeSmith.vicar.service resources/com.vandrelsys.VolumeSmith.vicar.plist)
  file(READ "${VICAR_SOURCE_DIR}/${_source}" _text)
  string(REPLACE "${_shipped}" "${_daemon}" _text "${_text}")
  get_filename_component(_leaf "${_source}" NAME)
  file(WRITE "${_staging}/${_leaf}" "${_text}")
endforeach()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${VICAR_UNIT_DIR}" TYPE FILE
     FILES "${_staging}/com.vandrelsys.VolumeSmith.vicar.service"
           "${VICAR_SOURCE_DIR}/resources/systemd/com.vandrelsys.VolumeSmith.vicar.socket")
file(INSTALL DESTINATION "${_config}/jobs" TYPE FILE
     FILES "${_staging}/com.vandrelsys.VolumeSmith.vicar.plist")
# Trusted keys: the administrator adds them; root-owned, writable by root alone.
file(MAKE_DIRECTORY "$ENV{DESTDIR}${_config}/trusted-keys")
file(CHMOD "$ENV{DESTDIR}${_config}" "$ENV{DESTDIR}${_config}/jobs" "$ENV{DESTDIR}${_config}/trusted-keys"
     DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
