# Takes the picture of the editor for the manual: the host harness opens the
# plug-in's editor, plays its demo signal and saves what the editor shows.
# Without a display it runs under a virtual X server (xvfb-run).
#
#   cmake -DHOST=<kelo-host> -DPLUGIN=<Kelo.so> -DPNG=<out.png> -P editor_picture.cmake
set(command ${HOST} ${PLUGIN} --play-demo 2.5 --editor-png ${PNG})
if(NOT WIN32 AND "$ENV{DISPLAY}" STREQUAL "")
  find_program(XVFB_RUN xvfb-run)
  if(NOT XVFB_RUN)
    message(FATAL_ERROR "editor_picture: no display and no xvfb-run")
  endif()
  set(command ${XVFB_RUN} -a -s "-screen 0 1024x768x24" ${command})
endif()
execute_process(COMMAND ${command} RESULT_VARIABLE result OUTPUT_QUIET TIMEOUT 120)
if(NOT result EQUAL 0 OR NOT EXISTS ${PNG})
  message(FATAL_ERROR "editor_picture: the harness failed (${result})")
endif()
