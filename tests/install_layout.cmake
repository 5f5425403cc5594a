# Installs the build into a fresh temporary prefix and checks what lands where.
# Run as: cmake -DBUILD_DIR=<build> -DSOURCE_DIR=<source> -DWORK_DIR=<scratch> -P install_layout.cmake
cmake_minimum_required(VERSION 3.25)

foreach(_var BUILD_DIR SOURCE_DIR WORK_DIR)
  if(NOT ${_var})
    message(FATAL_ERROR "${_var} is not set")
  endif()
endforeach()

set(_failures 0)
macro(fail text)
  message(SEND_ERROR "${text}")
  math(EXPR _failures "${_failures} + 1")
endmacro()

# A folder of its own, so that two runs at once never share files.
string(RANDOM LENGTH 10 _tag)
set(_root "${WORK_DIR}/install-layout-${_tag}")
file(REMOVE_RECURSE "${_root}")
file(MAKE_DIRECTORY "${_root}")
set(_prefix "${_root}/prefix")

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=DESTDIR
          ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${_prefix}"
  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  file(REMOVE_RECURSE "${_root}")
  message(FATAL_ERROR "cmake --install failed (${_rc}):\n${_out}\n${_err}")
endif()

set(_id org.pellix.OvitoneUtility)
set(_desktop "${_prefix}/share/applications/${_id}.desktop")
set(_metainfo "${_prefix}/share/metainfo/${_id}.metainfo.xml")
set(_rule "${_prefix}/lib/udev/rules.d/70-ovitone-hid.rules")
set(_data "${_prefix}/share/ovitone-utility")

# Every file, and nothing outside the prefix.
foreach(_file
    "${_prefix}/bin/ovitone" "${_prefix}/bin/ovitone-demo" "${_prefix}/bin/ovitone-cli"
    "${_prefix}/bin/ovitone-cli-demo"
    "${_desktop}" "${_metainfo}" "${_rule}"
    "${_data}/Quendel.jpg" "${_data}/blue.bmp" "${_data}/Audio Test.mp3"
    "${_data}/sample_firmware_v1.3.0.txt")
  if(NOT EXISTS "${_file}")
    fail("missing after install: ${_file}")
  endif()
endforeach()
foreach(_program ovitone ovitone-demo ovitone-cli ovitone-cli-demo)
  if(EXISTS "${_prefix}/bin/${_program}" AND NOT IS_DIRECTORY "${_prefix}/bin/${_program}")
    execute_process(COMMAND test -x "${_prefix}/bin/${_program}" RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      fail("bin/${_program} is not executable")
    endif()
  endif()
endforeach()
# The installed command line runs on its own (no build tree, no window system) and
# configures the simulated encoder end to end.
if(EXISTS "${_prefix}/bin/ovitone-cli-demo")
  execute_process(COMMAND "${_prefix}/bin/ovitone-cli-demo" --help
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
  if(NOT _rc EQUAL 0 OR NOT _out MATCHES "upgrade-firmware FILE")
    fail("bin/ovitone-cli-demo --help failed (${_rc}): ${_out}${_err}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
                          "${_prefix}/bin/ovitone-cli-demo" status --json
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
  if(NOT _rc EQUAL 0 OR NOT _out MATCHES "\"connected\": true")
    fail("bin/ovitone-cli-demo status --json failed (${_rc}): ${_out}${_err}")
  endif()
endif()

# A manual page for every program, compressed (gzip's magic number).
foreach(_program ovitone ovitone-demo ovitone-cli ovitone-cli-demo)
  set(_page "${_prefix}/share/man/man1/${_program}.1.gz")
  if(NOT EXISTS "${_page}")
    fail("missing manual page: ${_page}")
    continue()
  endif()
  file(READ "${_page}" _head LIMIT 2 HEX)
  if(NOT _head STREQUAL "1f8b")
    fail("share/man/man1/${_program}.1.gz is not gzip-compressed")
  endif()
endforeach()

# Installed copies are byte for byte the sources.
foreach(_pair
    "media/Quendel.jpg|Quendel.jpg" "media/blue.bmp|blue.bmp" "media/Audio Test.mp3|Audio Test.mp3"
    "firmware/sample_firmware_v1.3.0.txt|sample_firmware_v1.3.0.txt")
  string(REPLACE "|" ";" _pair "${_pair}")
  list(GET _pair 0 _src)
  list(GET _pair 1 _dst)
  if(EXISTS "${_data}/${_dst}")
    file(SHA256 "${SOURCE_DIR}/resources/${_src}" _a)
    file(SHA256 "${_data}/${_dst}" _b)
    if(NOT _a STREQUAL _b)
      fail("share/ovitone-utility/${_dst} differs from resources/${_src}")
    endif()
  endif()
endforeach()

# Each icon is a PNG of the size its folder names (width and height from the IHDR chunk).
foreach(_size 32 48 64 256)
  set(_icon "${_prefix}/share/icons/hicolor/${_size}x${_size}/apps/${_id}.png")
  if(NOT EXISTS "${_icon}")
    fail("missing icon: ${_icon}")
    continue()
  endif()
  file(READ "${_icon}" _head LIMIT 24 HEX)
  string(SUBSTRING "${_head}" 0 16 _magic)
  string(SUBSTRING "${_head}" 32 8 _w)
  string(SUBSTRING "${_head}" 40 8 _h)
  math(EXPR _w "0x${_w}")
  math(EXPR _h "0x${_h}")
  if(NOT _magic STREQUAL "89504e470d0a1a0a" OR NOT _w EQUAL _size OR NOT _h EQUAL _size)
    fail("${_size}x${_size} icon is not a ${_size}x${_size} PNG (${_w}x${_h})")
  endif()
endforeach()

# The desktop entry.
if(EXISTS "${_desktop}")
  file(STRINGS "${_desktop}" _lines)
  foreach(_want
      "[Desktop Entry]" "Type=Application" "Name=Ovitone Configuration Utility" "Exec=ovitone"
      "Icon=${_id}" "Terminal=false")
    if(NOT _want IN_LIST _lines)
      fail("desktop entry lacks the line '${_want}'")
    endif()
  endforeach()
  set(_categories "")
  foreach(_line IN LISTS _lines)
    if(_line MATCHES "^Categories=(.*)$")
      set(_categories "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  foreach(_cat Settings HardwareSettings Audio)
    if(NOT _categories MATCHES "(^|;)${_cat};")
      fail("desktop entry Categories '${_categories}' lack ${_cat}")
    endif()
  endforeach()
  find_program(_dfv desktop-file-validate)
  if(_dfv)
    execute_process(COMMAND "${_dfv}" "${_desktop}" RESULT_VARIABLE _rc
                    OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
    if(NOT _rc EQUAL 0 OR "${_out}${_err}" MATCHES "error:|warning:")
      fail("desktop-file-validate:\n${_out}${_err}")
    endif()
  else()
    message(STATUS "desktop-file-validate not found; desktop entry not validated")
  endif()
endif()

# The AppStream metainfo.
if(EXISTS "${_metainfo}")
  file(READ "${_metainfo}" _xml)
  foreach(_want
      "<id>${_id}</id>" "<metadata_license>CC0-1.0</metadata_license>"
      "<project_license>MIT</project_license>" "<name>Ovitone Configuration Utility</name>"
      "<summary>" "<description>" "<launchable type=\"desktop-id\">${_id}.desktop</launchable>"
      "<content_rating" "<release version=\"3.1\""
      "<modalias>usb:v2047p0A3B*</modalias>" "<modalias>usb:v2047p0200*</modalias>")
    string(FIND "${_xml}" "${_want}" _at)
    if(_at EQUAL -1)
      fail("metainfo lacks ${_want}")
    endif()
  endforeach()
  if(_xml MATCHES "https?://")
    fail("metainfo names a web address")
  endif()
  find_program(_asc appstreamcli)
  if(_asc)
    execute_process(COMMAND "${_asc}" validate --no-net "${_metainfo}" RESULT_VARIABLE _rc
                    OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
    if(NOT _rc EQUAL 0)
      fail("appstreamcli validate:\n${_out}${_err}")
    endif()
  else()
    message(STATUS "appstreamcli not found; metainfo not validated")
  endif()
endif()

# The udev rule: both devices, lower-case hex, access for the logged-in user only.
if(EXISTS "${_rule}")
  file(READ "${_rule}" _text)
  file(STRINGS "${_rule}" _rules REGEX "^[^#]")
  list(LENGTH _rules _count)
  if(NOT _count EQUAL 2)
    fail("udev rule file should hold 2 rules, holds ${_count}")
  endif()
  foreach(_product 0a3b 0200)
    string(FIND "${_text}" "ATTRS{idVendor}==\"2047\", ATTRS{idProduct}==\"${_product}\"" _at)
    if(_at EQUAL -1)
      fail("udev rule lacks 2047:${_product}")
    endif()
  endforeach()
  foreach(_line IN LISTS _rules)
    if(NOT _line MATCHES "SUBSYSTEM==\"hidraw\"" OR NOT _line MATCHES "TAG\\+=\"uaccess\"")
      fail("udev rule without hidraw subsystem or uaccess tag: ${_line}")
    endif()
    if(_line MATCHES "id(Vendor|Product)}==\"[^\"]*[A-F]")
      fail("udev rule uses upper-case hex (sysfs is lower-case): ${_line}")
    endif()
    if(_line MATCHES "MODE=|GROUP=")
      fail("udev rule sets a mode or group instead of uaccess: ${_line}")
    endif()
  endforeach()
endif()

# A /usr install (what the package does) puts the rule in udev's system folder, under
# DESTDIR here, and the rest under /usr.
set(_stage "${_root}/stage")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${_stage}"
          ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix /usr
  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  fail("DESTDIR install failed (${_rc}):\n${_out}\n${_err}")
else()
  file(GLOB_RECURSE _staged_rules RELATIVE "${_stage}" "${_stage}/*70-ovitone-hid.rules")
  if(NOT _staged_rules MATCHES "^(/?usr)?/?lib/udev/rules.d/70-ovitone-hid.rules$")
    fail("with prefix /usr the rule went to '${_staged_rules}'")
  endif()
  if(NOT EXISTS "${_stage}/usr/bin/ovitone"
     OR NOT EXISTS "${_stage}/usr/share/applications/${_id}.desktop")
    fail("with prefix /usr the program or desktop entry is not under usr/")
  endif()
endif()

file(REMOVE_RECURSE "${_root}")
if(_failures GREATER 0)
  message(FATAL_ERROR "${_failures} install layout check(s) failed")
endif()
message(STATUS "install layout ok")
