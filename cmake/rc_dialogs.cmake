# Turns the DIALOGEX resources of a Windows resource script into a C++ table
# for the POSIX stand-in, so the .rc file stays the one description of each
# dialog on both platforms.
#
#   cmake -DRC=<file.rc> -DOUT=<file.cpp> -P rc_dialogs.cmake
#
# Understands the subset the project writes: a LANGUAGE statement, then
#   <id> DIALOGEX x, y, cx, cy
#   STYLE <expr> / EXSTYLE <expr> / CAPTION "<text>" / FONT pt, "face", weight, italic, charset
#   BEGIN
#     CONTROL "<text>", <id>, "<class>", <style>, x, y, cx, cy [, <exstyle>]
#   END
# one statement per line. Symbols (IDs, WS_* ...) are copied into the C++ as
# written and resolve against resource.h and the stand-in's headers. Anything
# else inside a dialog block stops the build with the offending line.

if(NOT RC OR NOT OUT)
  message(FATAL_ERROR "usage: cmake -DRC=<file.rc> -DOUT=<file.cpp> -P rc_dialogs.cmake")
endif()

file(STRINGS "${RC}" lines)

function(rc_fail line)
  message(FATAL_ERROR "${RC}: cannot read this dialog line: ${line}")
endfunction()

# Splits "a, b, c" on commas (no quoted text) into a trimmed list.
function(rc_split text out)
  string(REPLACE "," ";" parts "${text}")
  set(result "")
  foreach(part IN LISTS parts)
    string(STRIP "${part}" part)
    list(APPEND result "${part}")
  endforeach()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# A quoted .rc string as a C++ UTF-16 literal ("" inside .rc strings is a quote).
function(rc_text raw out)
  string(REPLACE "\"\"" "\\\"" raw "${raw}")
  set(${out} "TEXT(\"${raw}\")" PARENT_SCOPE)
endfunction()

set(language "0")
set(state "outside")
set(dialogs "")
set(items_code "")
set(dialog_count 0)

foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[ \t]+" "" line "${line}")
  string(REGEX REPLACE "[ \t\r]+$" "" line "${line}")
  if(state STREQUAL "outside")
    if(line MATCHES "^LANGUAGE[ \t]+([^,]+),[ \t]*(.+)$")
      math(EXPR language "(${CMAKE_MATCH_1}) | ((${CMAKE_MATCH_2}) << 10)")
    elseif(line MATCHES "^([A-Za-z_0-9]+)[ \t]+DIALOGEX[ \t]+(.+)$")
      set(dialog_id "${CMAKE_MATCH_1}")
      rc_split("${CMAKE_MATCH_2}" box)
      list(LENGTH box box_length)
      if(NOT box_length EQUAL 4)
        rc_fail("${line}")
      endif()
      set(style "0")
      set(exstyle "0")
      set(caption "TEXT(\"\")")
      set(font "0, 0, 0, 0, TEXT(\"\")")
      set(items "")
      set(item_count 0)
      set(state "header")
    endif()
  elseif(state STREQUAL "header")
    if(line MATCHES "^STYLE[ \t]+(.+)$")
      set(style "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^EXSTYLE[ \t]+(.+)$")
      set(exstyle "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^CAPTION[ \t]+\"(.*)\"$")
      rc_text("${CMAKE_MATCH_1}" caption)
    elseif(line MATCHES "^FONT[ \t]+([^,]+),[ \t]*\"([^\"]*)\"[ \t]*,(.+)$")
      set(points "${CMAKE_MATCH_1}")
      rc_text("${CMAKE_MATCH_2}" face)
      rc_split("${CMAKE_MATCH_3}" rest)
      list(LENGTH rest rest_length)
      if(NOT rest_length EQUAL 3)
        rc_fail("${line}")
      endif()
      list(JOIN rest ", " rest)
      set(font "${points}, ${rest}, ${face}")
    elseif(line STREQUAL "BEGIN")
      set(state "controls")
    else()
      rc_fail("${line}")
    endif()
  elseif(state STREQUAL "controls")
    if(line MATCHES "^CONTROL[ \t]+\"(([^\"]|\"\")*)\"[ \t]*,(.+)$")
      rc_text("${CMAKE_MATCH_1}" text)
      set(rest "${CMAKE_MATCH_3}")
      if(NOT rest MATCHES "^[ \t]*([A-Za-z_0-9]+)[ \t]*,[ \t]*\"([A-Za-z_0-9]+)\"[ \t]*,(.+)$")
        rc_fail("${line}")
      endif()
      set(id "${CMAKE_MATCH_1}")
      rc_text("${CMAKE_MATCH_2}" class)
      rc_split("${CMAKE_MATCH_3}" fields)
      list(LENGTH fields field_count)
      if(field_count EQUAL 5)
        list(APPEND fields "0")
      elseif(NOT field_count EQUAL 6)
        rc_fail("${line}")
      endif()
      list(GET fields 0 item_style)
      list(GET fields 5 item_exstyle)
      list(SUBLIST fields 1 4 item_box)
      list(JOIN item_box ", " item_box)
      string(APPEND items
        "    {static_cast<DWORD>(${item_style}), static_cast<DWORD>(${item_exstyle}), ${item_box}, ${id}, ${class}, ${text}},\n")
      math(EXPR item_count "${item_count} + 1")
    elseif(line STREQUAL "END")
      string(APPEND items_code
        "const DialogItemTemplate kItems${dialog_count}[] = {\n${items}};\n\n")
      list(JOIN box ", " box)
      string(APPEND dialogs
        "    {${dialog_id}, ${language}, static_cast<DWORD>(${style}), static_cast<DWORD>(${exstyle}), ${box},\n"
        "     ${caption}, ${font}, kItems${dialog_count}, ${item_count}},\n")
      math(EXPR dialog_count "${dialog_count} + 1")
      set(state "outside")
    else()
      rc_fail("${line}")
    endif()
  endif()
endforeach()

if(NOT state STREQUAL "outside")
  message(FATAL_ERROR "${RC}: a dialog block has no END")
endif()
if(dialog_count EQUAL 0)
  message(FATAL_ERROR "${RC}: no DIALOGEX found")
endif()

get_filename_component(rc_name "${RC}" NAME)
file(WRITE "${OUT}.tmp"
"// Generated from ${rc_name} by cmake/rc_dialogs.cmake; edit the .rc file instead.
#include <windows.h>

#include \"app/resource.h\"
#include \"resources.h\"

namespace exelore_posix {
namespace {

${items_code}const DialogTemplate kDialogs[] = {
${dialogs}};

}  // namespace

std::span<const DialogTemplate> ModuleDialogs() { return kDialogs; }

}  // namespace exelore_posix
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
