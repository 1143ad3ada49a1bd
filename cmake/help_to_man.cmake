# Writes a manual page from a tool's --help text, so the installed page and
# the tool never disagree.
#   cmake -DTOOL=path -DNAME=vorn-load -DSUMMARY="..." -DVERSION=0.1.0 -DOUT=vorn-load.1 -P help_to_man.cmake
execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "${TOOL} --help failed (${rc})")
endif()
# roff: backslashes and hyphens escaped, no line may start with a control
# character.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" upper)
string(REPLACE "-" "\\-" name "${NAME}")
file(WRITE ${OUT} ".TH ${upper} 1 \"\" \"vorn ${VERSION}\" \"User Commands\"
.SH NAME
${name} \\- ${SUMMARY}
.SH DESCRIPTION
.nf
${help}.fi
")
