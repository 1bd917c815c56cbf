# cmake -DTS=merolune_en.ts -DOUT=MessageTable.inc -P MessageTable.cmake
#
# Writes the context "Messages" of the English translation as C++ initialisers, one
# {"Japanese", "English"} pair per finished message, for engine/Messages.cpp: the command-line
# tool shows the jobs' messages in English without Qt. lupdate and lrelease write and read the same
# file; a message whose translation is marked unfinished is left out, as lrelease leaves it out.
cmake_minimum_required(VERSION 3.25)
file(READ "${TS}" ts)
string(FIND "${ts}" "<name>Messages</name>" start)
if(start EQUAL -1)
  message(FATAL_ERROR "${TS} has no context \"Messages\"")
endif()
string(SUBSTRING "${ts}" ${start} -1 ts)
string(FIND "${ts}" "</context>" end)
string(SUBSTRING "${ts}" 0 ${end} ts)

# The XML text as the body of a C++ string literal.
function(literal text out)
  string(REPLACE "&lt;" "<" text "${text}")
  string(REPLACE "&gt;" ">" text "${text}")
  string(REPLACE "&quot;" "\"" text "${text}")
  string(REPLACE "&apos;" "'" text "${text}")
  string(REPLACE "&amp;" "&" text "${text}")
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(body "// Generated from ${TS} by MessageTable.cmake: do not edit.\n")
set(count 0)
# Each message in turn; the texts hold no "<" (XML writes it as "&lt;").
set(pattern "<source>([^<]*)</source>[ \t\r\n]*<translation>([^<]*)</translation>")
while(TRUE)
  string(REGEX MATCH "${pattern}" found "${ts}")
  if(NOT found)
    break()
  endif()
  literal("${CMAKE_MATCH_1}" source)
  literal("${CMAKE_MATCH_2}" translation)
  string(APPEND body "{\"${source}\", \"${translation}\"},\n")
  math(EXPR count "${count} + 1")
  string(FIND "${ts}" "${found}" at)
  string(LENGTH "${found}" length)
  math(EXPR at "${at} + ${length}")
  string(SUBSTRING "${ts}" ${at} -1 ts)
endwhile()
if(count EQUAL 0)
  message(FATAL_ERROR "${TS}: the context \"Messages\" has no finished message")
endif()

# Rewritten only when it changes, so that an edit elsewhere in the file rebuilds nothing.
file(WRITE "${OUT}.new" "${body}")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
