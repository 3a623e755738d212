# Runs at install time: writes a unit (p2ptool's, p2ptool-guest's,
# p2pwatch's, p2ptool-metrics' service and timer) with ExecStart naming the
# program under the prefix of this very install (cmake --install --prefix,
# the Debian build's /usr).
#
# In: P2P_UNIT_TEMPLATE, P2P_UNIT_DIR (empty: automatic, see CMakeLists.txt)
# and P2P_SBINDIR (each relative to the prefix unless absolute), and the
# install script's CMAKE_INSTALL_PREFIX.
function(p2p_under_prefix dir out)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

if(P2P_UNIT_DIR STREQUAL "")
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(P2P_UNIT_DIR "/lib/systemd/system")
  else()
    set(P2P_UNIT_DIR "lib/systemd/system")
  endif()
endif()
p2p_under_prefix("${P2P_UNIT_DIR}" unit_dir)
p2p_under_prefix("${P2P_SBINDIR}" sbin_dir)
set(P2P_WATCH_PROGRAM "${sbin_dir}/p2pwatch")
set(P2P_SBIN_DIR "${sbin_dir}")
get_filename_component(unit_name "${P2P_UNIT_TEMPLATE}" NAME_WLE)  # x.service.in -> x.service
set(unit "$ENV{DESTDIR}${unit_dir}/${unit_name}")
message(STATUS "Installing: ${unit}")
configure_file("${P2P_UNIT_TEMPLATE}" "${unit}" @ONLY)
file(CHMOD "${unit}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# Manifest lines name installed paths without the DESTDIR staging prefix.
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit_dir}/${unit_name}")
