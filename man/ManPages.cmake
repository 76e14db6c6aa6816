# The manual pages TessaranFwUpgrade(1) and TessaranFwTool(1), written in
# scdoc(5) in this folder and built by the ALL build when scdoc is installed.
#
# For each page NAME:
#   1. NAME.1.scd is configured into the build tree: the version, and the
#      sections both pages share (ports.scd, environment.scd with trace.scd,
#      hooks.scd, history.scd, or their -windows.scd forms for the Windows
#      ZIP, which also gets reporting-windows.scd; the updater's page also
#      gets exit-status.scd and its messages from packaging/messages.txt);
#   2. scdoc turns it into roff, man/NAME.1, and gzip -9n into NAME.1.gz (the
#      compressed form Debian installs);
#   3. for the Windows ZIP only, groff renders it as plain ASCII text with
#      CR LF line ends, man/NAME.txt (Notepad shows no roff).
#
# Sets FWUPGRADE_MAN_PAGES (the .1.gz files) and FWUPGRADE_MAN_TEXTS (the
# .txt files) when they are built; both stay empty otherwise. The MAN_*
# texts of the platform are set with or without scdoc: the archives' README
# takes some of them too.

set(man_source_dir ${PROJECT_SOURCE_DIR}/man)
set(man_build_dir ${PROJECT_BINARY_DIR}/man)
set(FWUPGRADE_MAN_PAGES "")
set(FWUPGRADE_MAN_TEXTS "")

# The sections both pages share. They fit the platform the pages ship for: a
# Windows user gets COM ports, Device Manager and cmd, never device files,
# symbolic links or Unix groups, and the others the reverse.
if(WIN32)
  set(man_flavour -windows)
  set(MAN_DENIED_REMEDY "")
  # The ZIP holds no README.md, cmd runs "a &" as two commands, and cmd shows
  # the updater's -1 as it is.
  set(MAN_IMAGE_TARGETS "")
  set(MAN_PORTS_LISTED "the COM ports Windows lists")
  set(MAN_PARENT_GONE [=[A closed standard output does not stop the run. If *update-all* dies,
	each child still finishes its update on its own.]=])
  set(MAN_NO_UNIT_EXAMPLE "TessaranFwTool: COM1: in use by another program: close it and try again")
  set(MAN_TUNNEL_EXAMPLE [=[Windows 10 and later have *ssh*; keep the tunnel open in a window of its own:

```
start "tunnel" ssh -N -L 3001:localhost:3001 admin@rack2
TessaranFwTool update --port rfc2217://localhost:3001
```]=])
  set(MAN_INTERRUPTS "Ctrl+C, Ctrl+Break, the window closed")
  set(MAN_BAD_ENTRY_STATUS [=[|  -1
:  the port or the baud rate typed in could not be used (cmd shows
   *%ERRORLEVEL%* as -1)]=])
  set(MAN_PORT_FORMS [=[port 1 to 4096, written *3*, *COM3* or *\\\\.\\COM3*, or a network port
	*rfc2217://*_HOST_*:*_PORT_ or *socket://*_HOST_*:*_PORT_ (see NETWORK
	PORTS); *update-all* takes *--ports* instead, whose _LIST_ accepts the
	same forms (*COM1-COM4,COM9,socket://rack2:4001*). An address that cannot
	be read is a usage error (status 2) naming it.]=])
  set(MAN_UPDATER_EXAMPLES [=[Update the unit: double-click *TessaranFwUpgrade.exe*, or in a command
prompt:

```
TessaranFwUpgrade.exe
```

Keep a wire trace for support, in a command prompt (cmd):

```
set FWUPGRADE_TRACE=update.trace
TessaranFwUpgrade.exe
```]=])
else()
  set(man_flavour "")
  set(MAN_PORT_FORMS [=[port 1 to 255 (on Windows 1 to 4096), written *3*, *COM3* or
	*\\\\.\\COM3*; on POSIX systems a device's path (*/dev/ttyUSB0*,
	*/dev/serial/by-id/*..., */dev/serial/by-path/*..., */dev/cu.usbserial-*...,
	*/dev/pts/3*); or a network port *rfc2217://*_HOST_*:*_PORT_ or
	*socket://*_HOST_*:*_PORT_ (see NETWORK PORTS); *update-all* takes
	*--ports* instead, whose _LIST_ accepts the same forms
	(*COM1-COM4,COM9,/dev/ttyUSB7,socket://rack2:4001*). A port without a COM
	number has *null* as its *port* in JSON and reports, and is named by its
	path or address; log files take the path with its folders as dashes
	(*dev-ttyUSB0*). A path is refused when it holds *..*, a control
	character or ends in a folder. An address that cannot be read is a usage
	error (status 2) naming it.]=])
  set(MAN_DENIED_REMEDY "; on Linux, join the *dialout* group:\n\t*sudo usermod -aG dialout $USER*, then log in again")
  set(MAN_IMAGE_TARGETS [=[ Through a symbolic link
	the file it names is replaced and the link stays; a device or a pipe
	(*/dev/null*, */dev/stdout*) is written directly.]=])
  set(MAN_PORTS_LISTED [=[Linux: from sysfs, ports with hardware behind them; macOS:
	*/dev/cu.\**; Windows: the COM ports the system lists]=])
  set(MAN_PARENT_GONE [=[Signals ignored when *update-all* started (*nohup*, a background job)
	stay ignored, and a closed standard output does not stop the run. If
	*update-all* dies, each child is told as by an interrupt (Linux): one
	streaming an image finishes its update, the others stop.]=])
  set(MAN_NO_UNIT_EXAMPLE [=[TessaranFwTool: COM1: held by PID 4242 (minicom)
TessaranFwTool: COM2: no permission to open /dev/ttyS1: join the dialout group (sudo usermod -aG dialout $USER) and log in again]=])
  set(MAN_TUNNEL_EXAMPLE [=[```
ssh -N -L 3001:localhost:3001 admin@rack2 &
TessaranFwTool update --port rfc2217://localhost:3001
```]=])
  set(MAN_INTERRUPTS "Ctrl+C, SIGINT, SIGTERM, SIGHUP")
  set(MAN_BAD_ENTRY_STATUS [=[|  255
:  the port or the baud rate typed in could not be used (the program returns
   -1, which a POSIX shell shows as 255)]=])
  set(MAN_UPDATER_EXAMPLES [=[Update a unit on a USB serial adapter (COM5 is /dev/ttyUSB0):

```
TessaranFwUpgrade
```

Map the device yourself and keep a wire trace for support:

```
mkdir ports && ln -s /dev/ttyUSB3 ports/COM1
FWUPGRADE_COM_DIR=$PWD/ports FWUPGRADE_TRACE=update.trace TessaranFwUpgrade
```]=])
endif()
file(READ ${man_source_dir}/ports${man_flavour}.scd MAN_PORTS)
file(READ ${man_source_dir}/environment${man_flavour}.scd MAN_ENVIRONMENT)
file(READ ${man_source_dir}/hooks${man_flavour}.scd MAN_HOOKS)
file(READ ${man_source_dir}/history${man_flavour}.scd MAN_HISTORY)
# The wire trace is the same on every platform; each environment section
# places it under FWUPGRADE_TRACE.
file(READ ${man_source_dir}/trace.scd man_trace)
string(REGEX REPLACE "^(;[^\n]*\n)+" "" man_trace "${man_trace}")
string(REPLACE "@MAN_TRACE@" "${man_trace}" MAN_ENVIRONMENT "${MAN_ENVIRONMENT}")
# The updater's exit statuses, with the platform's interrupts and its way of
# showing -1; the archives' README.txt takes the same section.
file(READ ${man_source_dir}/exit-status.scd MAN_EXIT_STATUS)
string(CONFIGURE "${MAN_EXIT_STATUS}" MAN_EXIT_STATUS @ONLY)
# On Windows both pages end their environment with how to report a failed
# update; the ZIP's README.txt takes the same section (cmake/Packaging.cmake).
if(WIN32)
  file(READ ${man_source_dir}/reporting-windows.scd man_reporting)
  string(APPEND MAN_ENVIRONMENT "\n${man_reporting}")
endif()

# The updater's messages, from the user README's part that explains them: a
# line at the left margin is a message, the indented lines below it say what
# it means.
set(messages_file ${PROJECT_SOURCE_DIR}/packaging/messages.txt)
file(STRINGS ${messages_file} message_lines)
set(MAN_MESSAGES "# MESSAGES\n")
foreach(line IN LISTS message_lines)
  if(line MATCHES "^(What the messages mean|---)")
    continue()
  endif()
  # scdoc reads these as markup: escape them.
  string(REGEX REPLACE "([*_\\\\])" "\\\\\\1" line "${line}")
  if(line MATCHES "^[ \t]+(.*)$")
    string(APPEND MAN_MESSAGES "\t${CMAKE_MATCH_1}\n")
  elseif(NOT line STREQUAL "")
    string(APPEND MAN_MESSAGES "\n*${line}*\n")
  endif()
endforeach()

set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${man_source_dir}/ports${man_flavour}.scd ${man_source_dir}/environment${man_flavour}.scd
             ${man_source_dir}/hooks${man_flavour}.scd
             ${man_source_dir}/history${man_flavour}.scd
             ${man_source_dir}/trace.scd ${man_source_dir}/reporting-windows.scd
             ${man_source_dir}/exit-status.scd
             ${messages_file})

# The pages with their sections in place, also without scdoc: the docs test
# reads them (tests/docs).
foreach(page TessaranFwUpgrade TessaranFwTool)
  configure_file(${man_source_dir}/${page}.1.scd ${man_build_dir}/${page}.1.scd @ONLY)
endforeach()

find_program(FWUPGRADE_SCDOC scdoc)
if(NOT FWUPGRADE_SCDOC)
  message(STATUS "scdoc not found: building without the manual pages (Debian package scdoc)")
  return()
endif()
if(WIN32)
  find_program(FWUPGRADE_GROFF groff)
  if(NOT FWUPGRADE_GROFF)
    message(STATUS "groff not found: the Windows ZIP goes without the text manuals (Debian package groff-base)")
  endif()
endif()

set(man_outputs "")
foreach(page TessaranFwUpgrade TessaranFwTool)
  set(roff ${man_build_dir}/${page}.1)
  set(outputs ${roff} ${roff}.gz)
  set(text_args "")
  if(WIN32 AND FWUPGRADE_GROFF)
    list(APPEND outputs ${man_build_dir}/${page}.txt)
    set(text_args -DGROFF=${FWUPGRADE_GROFF} -DTEXT=${man_build_dir}/${page}.txt)
    list(APPEND FWUPGRADE_MAN_TEXTS ${man_build_dir}/${page}.txt)
  endif()
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -DSCDOC=${FWUPGRADE_SCDOC} -DSOURCE=${man_build_dir}/${page}.1.scd
            -DROFF=${roff} -DEPOCH=${FWUPGRADE_SOURCE_DATE_EPOCH} ${text_args}
            -P ${man_source_dir}/BuildManPage.cmake
    DEPENDS ${man_build_dir}/${page}.1.scd ${man_source_dir}/BuildManPage.cmake
    COMMENT "Building the manual page ${page}(1)"
    VERBATIM)
  list(APPEND man_outputs ${outputs})
  list(APPEND FWUPGRADE_MAN_PAGES ${roff}.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_outputs})
