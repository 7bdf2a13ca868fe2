# Writes the section-1 manual page of a program from its --help and --version text (script
# mode, at build time; nothing is fetched).
#   cmake -DPROGRAM=<built program> -DNAME=<name> -DSUMMARY=<one line> -DSEE_ALSO=<text>
#         -DOUTPUT=<page> -P manpage.cmake
execute_process(COMMAND "${PROGRAM}" --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed (${status})")
endif()
execute_process(COMMAND "${PROGRAM}" --version OUTPUT_VARIABLE version
                OUTPUT_STRIP_TRAILING_WHITESPACE)

# roff: backslashes doubled, hyphens literal, no line may start with a control character.
function(roff out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  if(text MATCHES "^[.']")
    set(text "\\&${text}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

string(REPLACE ";" "\\;" help "${help}")
string(REPLACE "\n" ";" lines "${help}")
set(description "")
set(options "")
set(in_options FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^Usage:")
    continue()
  elseif(line MATCHES "^[A-Za-z].*:$")
    set(in_options TRUE)
  elseif(NOT in_options)
    if(NOT line STREQUAL "")
      roff(text "${line}")
      string(APPEND description "${text}\n")
    endif()
  elseif(line MATCHES "^  +(-[^ ]+( [A-Z<][^ ]*)?)( +(.*))?$")
    # An option line: the option (with its value name), then its description.
    roff(item "${CMAKE_MATCH_1}")
    string(APPEND options ".TP\n.B ${item}\n")
    if(NOT CMAKE_MATCH_4 STREQUAL "")
      roff(text "${CMAKE_MATCH_4}")
      string(APPEND options "${text}\n")
    endif()
  elseif(line MATCHES "^ +(.+)$")
    # A description carried on to the next line.
    roff(text "${CMAKE_MATCH_1}")
    string(APPEND options "${text}\n")
  endif()
endforeach()

roff(name "${NAME}")
roff(summary "${SUMMARY}")
roff(version_text "${version}")
roff(see_also "${SEE_ALSO}")
string(TOUPPER "${name}" title)
file(WRITE "${OUTPUT}" ".TH \"${title}\" 1 \"\" \"${version_text}\" \"User Commands\"
.SH NAME
${name} \\- ${summary}
.SH SYNOPSIS
.B ${name}
[\\fIOPTIONS\\fR]
.SH DESCRIPTION
${description}.SH OPTIONS
${options}.SH SEE ALSO
${see_also}
")
