# Makes a gzip'd manual page from a program's --help, so the page never drifts from the text
# the program prints. Script mode:
#   cmake -DPROGRAM=path [-DEMULATOR=list] -DNAME=devhost -DSUMMARY=text -DVERSION=v
#         -DOUTPUT=devhost.1.gz [-DSUBCOMMANDS=list] [-DFILES=list of lines] -P ManPage.cmake
# A cross-built program runs under EMULATOR. Each of SUBCOMMANDS adds its own --help.

# The text `PROGRAM ARGS... --help` prints, as roff inside no-fill: a backslash is written \e,
# a line starting with . or ' would be a request.
function(help_text out)
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGN} --help
                  OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR help STREQUAL "")
    message(FATAL_ERROR "${PROGRAM} ${ARGN} --help failed (${status})")
  endif()
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  set(${out} "${help}" PARENT_SCOPE)
endfunction()

help_text(help)
foreach(subcommand IN LISTS SUBCOMMANDS)
  help_text(text ${subcommand})
  string(APPEND help ".fi\n.SS ${NAME} ${subcommand}\n.nf\n${text}")
endforeach()
set(intro "The text below is what\n.B ${NAME} \\-\\-help\nprints.")
if(SUBCOMMANDS)
  string(APPEND intro " Each subcommand's usage follows, as\n.B ${NAME} SUBCOMMAND \\-\\-help\nprints it.")
endif()
string(TOUPPER "${NAME}" title)
set(page ".TH ${title} 1 \"\" \"${NAME} ${VERSION}\" \"User Commands\"
.SH NAME
${NAME} \\- ${SUMMARY}
.SH DESCRIPTION
${intro}
.PP
.nf
${help}.fi
")
if(FILES)
  list(JOIN FILES "\n" files)
  string(APPEND page ".SH FILES\n.nf\n${files}\n.fi\n")
endif()

get_filename_component(page_file "${OUTPUT}" NAME_WLE)
get_filename_component(folder "${OUTPUT}" DIRECTORY)
file(WRITE "${folder}/${page_file}" "${page}")
# -n: no name or time stamp inside, so the same page makes the same bytes.
execute_process(COMMAND gzip -9nf "${folder}/${page_file}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip ${page_file} failed")
endif()
