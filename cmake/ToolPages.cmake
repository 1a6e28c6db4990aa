# Run at build time (cmake -P) for one built tool: writes its bash completion ("<tool> --bash-completion")
# and, when HELP2MAN is set, its man page made from "--help-all" and "--version", with the exit-code
# table of the help's footer as the section EXIT STATUS and a SEE ALSO naming the other tool.
# In: TOOL (the binary), NAME, SUMMARY (the NAME line), COMPLETION (output), HELP2MAN, MAN_PAGE (output),
# SEE_ALSO, SOURCE_DIR.
execute_process(COMMAND ${TOOL} --bash-completion OUTPUT_FILE ${COMPLETION} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NAME} --bash-completion failed (${status})")
endif()
if(NOT HELP2MAN)
  return()
endif()

# The footer goes into its own section: out of the help text that help2man reads, into an include file.
execute_process(COMMAND ${TOOL} --help-all OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NAME} --help-all failed (${status})")
endif()
string(FIND "${help}" "\nExit codes:\n" footer)
if(footer EQUAL -1)
  message(FATAL_ERROR "${NAME} --help-all prints no \"Exit codes:\" footer")
endif()
math(EXPR footer "${footer} + 13")
string(SUBSTRING "${help}" ${footer} -1 codes)
string(STRIP "${codes}" codes)
string(REPLACE "\n" ";" codes "${codes}")
set(include "[EXIT STATUS]\n")
foreach(line IN LISTS codes)
  string(STRIP "${line}" line)
  if(line MATCHES "^([0-9]+) +(.*)$")
    string(APPEND include ".TP\n.B ${CMAKE_MATCH_1}\n${CMAKE_MATCH_2}\n")
  endif()
endforeach()
string(APPEND include "\n[SEE ALSO]\n")
foreach(page IN LISTS SEE_ALSO)
  string(APPEND include ".BR ${page} (1)\n")
endforeach()
string(APPEND include "\nThe project's README.md and docs/ARCHITECTURE.md.\n")
file(WRITE ${MAN_PAGE}.include "${include}")

# help2man runs the tool itself; a wrapper hands it the help without the footer.
file(WRITE ${MAN_PAGE}.tool "#!/bin/sh\nif [ \"$1\" = --help-all ]; then\n  \"${TOOL}\" --help-all | sed '/^Exit codes:$/,$d'\nelse\n  exec \"${TOOL}\" \"$@\"\nfi\n")
file(CHMOD ${MAN_PAGE}.tool PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
# The page's date is the last commit's, so that every build of one commit makes the same page.
execute_process(COMMAND git -C ${SOURCE_DIR} log -1 --format=%ct OUTPUT_VARIABLE epoch
  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(epoch MATCHES "^[0-9]+$")
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
execute_process(COMMAND ${HELP2MAN} --no-info --help-option=--help-all --version-option=--version
    --name=${SUMMARY} --include=${MAN_PAGE}.include --output=${MAN_PAGE}.new ${MAN_PAGE}.tool
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${NAME} (${status})")
endif()
file(READ ${MAN_PAGE}.new page)
# The tool's name stands where the wrapper's would.
get_filename_component(wrapper ${MAN_PAGE}.tool NAME)
string(REPLACE "${wrapper}" "${NAME}" page "${page}")
string(TOUPPER "${wrapper}" upper)
string(TOUPPER "${NAME}" upperName)
string(REPLACE "${upper}" "${upperName}" page "${page}")
file(WRITE ${MAN_PAGE} "${page}")
file(REMOVE ${MAN_PAGE}.new ${MAN_PAGE}.tool ${MAN_PAGE}.include)
