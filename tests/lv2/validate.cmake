# Runs lv2_validate (Debian's lv2-dev, which checks with sord_validate against
# the LV2 vocabularies) on the bundle's Turtle files; any error or warning fails.
execute_process(COMMAND ${VALIDATE} ${BUNDLE}/manifest.ttl ${BUNDLE}/kelo.ttl
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
message("${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "lv2_validate exited with ${rc}")
endif()
if(NOT "${out}${err}" MATCHES "Found 0 errors")
  message(FATAL_ERROR "lv2_validate found errors")
endif()
string(REGEX REPLACE "Skipping file[^\n]*\n" "" rest "${out}${err}")
if(rest MATCHES "[Ww]arning|[Ee]rror:")
  message(FATAL_ERROR "lv2_validate warned")
endif()
