# The Wine prefix of the test suite, run as a CTest fixture:
#   cmake -DPREFIX=<dir> -DWINE=<loader> -DACTION=up -P prefix.cmake
#       make the prefix once, start a persistent server and the prefix's services
#   cmake -DPREFIX=<dir> -DACTION=down -P prefix.cmake   stop that prefix's server (and no other)
# No display is needed: the prefix is made without the Gecko and Mono installers and menu entries.
set(ENV{WINEPREFIX} "${PREFIX}")
set(ENV{WINEDEBUG} "-all")
set(ENV{WINEARCH} "win64")
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml,winemenubuilder.exe=d")
unset(ENV{DISPLAY})
unset(ENV{WAYLAND_DISPLAY})
find_program(WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(WINESERVER NAMES wineserver REQUIRED)
find_program(WINEBOOT NAMES wineboot REQUIRED)

if(ACTION STREQUAL "up")
  if(NOT EXISTS "${PREFIX}/system.reg")
    message(STATUS "Making the Wine prefix ${PREFIX} (once; it takes a while)")
    file(MAKE_DIRECTORY "${PREFIX}")
    execute_process(COMMAND "${WINEBOOT}" -i
                    INPUT_FILE /dev/null OUTPUT_FILE "${PREFIX}/wineboot.log" ERROR_FILE "${PREFIX}/wineboot.log"
                    RESULT_VARIABLE status TIMEOUT 300)
    # The boot's own server writes the registry when it ends; wait for that.
    execute_process(COMMAND "${WINESERVER}" -w INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET)
    if(NOT status EQUAL 0 OR NOT EXISTS "${PREFIX}/system.reg")
      message(FATAL_ERROR "wineboot -i failed (${status}); see ${PREFIX}/wineboot.log")
    endif()
  endif()
  # One server for the whole suite, so each run of the tool costs well under a second. It forks
  # away; its streams go to a file, not to CTest's pipes, so the fixture itself ends at once.
  execute_process(COMMAND "${WINESERVER}" -p
                  INPUT_FILE /dev/null OUTPUT_FILE "${PREFIX}/wineserver.log" ERROR_FILE "${PREFIX}/wineserver.log"
                  RESULT_VARIABLE status)
  message(STATUS "wineserver -p for ${PREFIX}: ${status}")
  # Start the prefix's own services (services.exe, winedevice.exe, rpcss.exe ...) now, under the
  # persistent server: started by a test's first run instead, they would inherit that run's pipes
  # and hold them open after it ends.
  execute_process(COMMAND "${WINE}" cmd /c exit
                  INPUT_FILE /dev/null OUTPUT_FILE "${PREFIX}/services.log" ERROR_FILE "${PREFIX}/services.log"
                  RESULT_VARIABLE status TIMEOUT 120)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "starting the prefix's services failed (${status}); see ${PREFIX}/services.log")
  endif()
elseif(ACTION STREQUAL "down")
  execute_process(COMMAND "${WINESERVER}" -k INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND "${WINESERVER}" -w INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET)
else()
  message(FATAL_ERROR "ACTION must be up or down")
endif()
