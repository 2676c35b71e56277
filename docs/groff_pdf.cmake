# Runs groff's PDF output over a document into a file, failing on any warning.
#
#   cmake -DGROFF=<groff> -DSOURCE=<doc.ms> -DOUTPUT=<doc.pdf> -P groff_pdf.cmake
# (run in the folder that holds the document's pictures)
execute_process(
  COMMAND ${GROFF} -U -t -ms -Tpdf -ww -dpaper=a4 -P-pa4 ${SOURCE}
  OUTPUT_FILE ${OUTPUT}.tmp
  ERROR_VARIABLE warnings
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "groff failed (${result}):\n${warnings}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
