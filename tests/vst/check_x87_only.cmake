# Checks that a plug-in binary of the 32-bit build holds no SSE or MMX
# instruction: its arithmetic is x87 and it must run on processors without those
# units. Run with -DOBJDUMP=<objdump> -DBINARY=<file>.
get_filename_component(name ${BINARY} NAME)
set(listing ${CMAKE_CURRENT_BINARY_DIR}/${name}.disassembly.txt)
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${BINARY} OUTPUT_FILE ${listing}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -d failed on ${BINARY}")
endif()
# An empty listing would pass vacuously: the code must be there to be judged.
file(STRINGS ${listing} code REGEX "^ *[0-9a-f]+:\t[a-z]")
list(LENGTH code instructions)
if(instructions LESS 1000)
  message(FATAL_ERROR "${BINARY}: only ${instructions} instructions disassembled")
endif()
# SSE and MMX registers, and the instructions of those extensions that name none;
# with them the labels, to know where each line lies. The linker of the Windows
# build places the exception tables among the code: those bytes are data.
file(STRINGS ${listing} lines
     REGEX "^[0-9a-f]+ <[^>]*>:$|%[xyz]?mm[0-9]|\t(ldmxcsr|stmxcsr|movnti|[lms]fence|clflush|prefetch[a-z0-9]*|emms) ")
set(offending "")
set(in_data FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-f]+ <([^>]*)>:$")
    if(CMAKE_MATCH_1 MATCHES "^\\.gcc_except_table")
      set(in_data TRUE)
    else()
      set(in_data FALSE)
    endif()
  elseif(NOT in_data)
    list(APPEND offending "${line}")
  endif()
endforeach()
list(LENGTH offending count)
if(count GREATER 0)
  list(SUBLIST offending 0 20 first)
  list(JOIN first "\n" first)
  message(FATAL_ERROR "${BINARY}: ${count} SSE/MMX instructions among ${instructions}, e.g.\n"
                      "${first}\n(full listing: ${listing})")
endif()
file(REMOVE ${listing})
message(STATUS "${BINARY}: ${instructions} instructions, none of them SSE or MMX")
