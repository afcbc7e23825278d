# A downstream project built against an install of this one, end to end: installs the Windows
# build (template, w4wpack.exe, package) and the host packer into a prefix, moves the prefix
# (the package must not depend on where it was installed), configures tests/downstream with
# find_package, builds it, and runs the launcher it made under Wine.
#   cmake -DWINDOWS_BUILD=... -DHOST_BUILD=... -DTOOLCHAIN=... -DSOURCE=... -DWORK=...
#         -DWINE_RUN=... -DWINEPREFIX=... -P check-downstream.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN}\nfailed (${result}):\n${out}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
run(${CMAKE_COMMAND} --install ${WINDOWS_BUILD} --prefix ${WORK}/installed)
run(${CMAKE_COMMAND} --install ${HOST_BUILD} --prefix ${WORK}/installed)
file(RENAME ${WORK}/installed ${WORK}/moved)
# A toolchain that looks for packages in the target's sysroot alone is given the package's
# directory, as a user of such a toolchain would.
run(${CMAKE_COMMAND} -S ${SOURCE}/tests/downstream -B ${WORK}/build -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -Dwrapper4wrapper_DIR=${WORK}/moved/share/wrapper4wrapper/cmake)
run(${CMAKE_COMMAND} --build ${WORK}/build)
if(NOT EXISTS ${WORK}/build/tool-launcher.exe)
  message(FATAL_ERROR "the downstream build made no tool-launcher.exe")
endif()
execute_process(COMMAND ${WINE_RUN} ${WINEPREFIX} ${WORK}/build/tool-launcher.exe RESULT_VARIABLE code)
if(NOT code EQUAL 17)
  message(FATAL_ERROR "the downstream launcher ended with ${code}, not with its payload's 17")
endif()
message(STATUS "the downstream launcher ran its payload: exit code ${code}")
