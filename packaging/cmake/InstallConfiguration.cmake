# Runs at install time (cmake --install, cpack), so that the prefix given
# then decides every path: the configuration files, the rewritten
# directories of ravlon.conf and the systemd unit all name the same tree.
#
# Set by the caller: RAVLON_SOURCE_DIR, RAVLON_UNIT_TEMPLATE, RAVLON_BINDIR,
# RAVLON_DATADIR, RAVLON_DOCDIR, RAVLON_UNIT_DIR (relative to the prefix
# unless absolute), RAVLON_SERVICE_USER, RAVLON_UNIT_CAPABILITIES,
# RAVLON_HOST_FILES (the counters files that setup makes for the host).

cmake_policy(PUSH)
cmake_policy(VERSION 3.25)
set(prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/+$" "" prefix "${prefix}")
# As GNUInstallDirs does: a system prefix keeps its configuration in /etc
# and its state in /var, every other prefix below itself.
if(prefix STREQUAL "" OR prefix STREQUAL "/usr")
  set(conf "/etc")
  set(var "/var")
else()
  set(conf "${prefix}/etc")
  set(var "${prefix}/var")
endif()
if(prefix STREQUAL "")
  set(prefix "/")
endif()
function(ravlon_below base dir out)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    string(REGEX REPLACE "/$" "" base "${base}")
    set(${out} "${base}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
ravlon_below("${prefix}" "${RAVLON_BINDIR}" bindir)
ravlon_below("${prefix}" "${RAVLON_DATADIR}" datadir)
ravlon_below("${prefix}" "${RAVLON_UNIT_DIR}" unitdir)
ravlon_below("${prefix}" "${RAVLON_DOCDIR}" docdir)
set(confdir "${conf}/ravlon")
set(state "${var}/lib/ravlon")
set(logdir "${var}/log/ravlon")
set(dest "$ENV{DESTDIR}")

# Installs text as file; an existing file that differs is an administrator's
# edit and is kept: the new version goes beside it as FILE.new.
function(ravlon_install_text file text)
  if(EXISTS "${file}")
    file(READ "${file}" old)
    if(old STREQUAL text)
      message(STATUS "Up-to-date: ${file}")
      return()
    endif()
    file(WRITE "${file}.new" "${text}")
    message(STATUS "Kept: ${file} (edited; the new version is ${file}.new)")
    return()
  endif()
  get_filename_component(parent "${file}" DIRECTORY)
  file(MAKE_DIRECTORY "${parent}")
  file(WRITE "${file}" "${text}")
  message(STATUS "Installing: ${file}")
endfunction()

file(GLOB_RECURSE sources RELATIVE "${RAVLON_SOURCE_DIR}/etc" "${RAVLON_SOURCE_DIR}/etc/*")
list(SORT sources)
foreach(rel ${sources})
  file(READ "${RAVLON_SOURCE_DIR}/etc/${rel}" text)
  if(rel IN_LIST RAVLON_HOST_FILES)
    # Templates: 'ravlonctl setup' writes the host's instances into the
    # configuration directory from them.
    file(MAKE_DIRECTORY "${dest}${datadir}/ravlon")
    file(WRITE "${dest}${datadir}/ravlon/${rel}" "${text}")
    message(STATUS "Installing: ${dest}${datadir}/ravlon/${rel}")
    continue()
  endif()
  if(rel STREQUAL "ravlon.conf")
    # The shipped file names its directories relative to the current one.
    string(REPLACE "conf(DirName) = \"etc/\"" "conf(DirName) = \"${confdir}/\"" text "${text}")
    string(REPLACE "temp(DirName) = \"temp/\"" "temp(DirName) = \"${state}/temp/\"" text "${text}")
    string(REPLACE "log(DirName) = \"log/\"" "log(DirName) = \"${logdir}/\"" text "${text}")
    string(REPLACE "working-dir(DirName) = \"work/\"" "working-dir(DirName) = \"${state}/work/\"" text "${text}")
  endif()
  ravlon_install_text("${dest}${confdir}/${rel}" "${text}")
endforeach()

# The unit names this prefix's programs and directories.
set(RAVLON_PREFIX "${prefix}")
set(RAVLON_UNIT_BINDIR "${bindir}")
set(RAVLON_UNIT_CONFDIR "${confdir}")
set(RAVLON_UNIT_STATEDIR "${state}")
set(RAVLON_UNIT_LOGDIR "${logdir}")
set(RAVLON_UNIT_USER "${RAVLON_SERVICE_USER}")
set(RAVLON_UNIT_DOCDIR "${docdir}")
set(RAVLON_UNIT_REGISTRY "/var/lib/telvar/registry")  # the store every program of the family reads
configure_file("${RAVLON_UNIT_TEMPLATE}" "${dest}${unitdir}/ravlon.service" @ONLY)
message(STATUS "Installing: ${dest}${unitdir}/ravlon.service")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${dest}${unitdir}/ravlon.service")
cmake_policy(POP)
