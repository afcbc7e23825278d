# cmake -DSOURCE=... -DWINDOWS_BUILD=... -DHOST_BUILD=... -DWORK=dir -P check-paths.cmake
#
# Nothing built or installed names the directories it was built in: the launcher template,
# w4wpack.exe, the host's w4wpack, and every file that cmake --install lays out from both
# builds are searched for the source and build directories, as bytes and as UTF-16.
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN}\nfailed (${result}):\n${out}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
run(${CMAKE_COMMAND} --install ${WINDOWS_BUILD} --prefix ${WORK}/installed)
run(${CMAKE_COMMAND} --install ${HOST_BUILD} --prefix ${WORK}/installed)
file(GLOB_RECURSE installed LIST_DIRECTORIES false ${WORK}/installed/*)
set(files ${WINDOWS_BUILD}/bin/wrapper4wrapper.exe ${WINDOWS_BUILD}/bin/w4wpack.exe ${HOST_BUILD}/bin/w4wpack ${installed})

# Each directory as it may be written: with / or \ (a Windows program's form, Z:\...), in
# bytes and in UTF-16 (for ASCII paths); a build directory inside the source one is found
# through it.
set(needles)
foreach(dir IN ITEMS ${SOURCE} ${WINDOWS_BUILD} ${HOST_BUILD})
  string(REPLACE "/" "\\" backslashed "${dir}")
  foreach(form IN ITEMS "${dir}" "${backslashed}")
    string(HEX "${form}" hex)
    list(APPEND needles ${hex})
    if(form MATCHES "^[ -~]*$")
      string(REGEX REPLACE "(..)" "\\100" wide "${hex}")
      list(APPEND needles ${wide})
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES needles)

set(found "")
foreach(file IN LISTS files)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "${file} was not built")
  endif()
  file(READ ${file} content HEX)
  foreach(needle IN LISTS needles)
    # A match must begin on a byte, not in the middle of one.
    set(rest "${content}")
    set(offset 0)
    while(TRUE)
      string(FIND "${rest}" "${needle}" at)
      if(at EQUAL -1)
        break()
      endif()
      math(EXPR position "${offset} + ${at}")
      if(position MATCHES "[02468]$")
        math(EXPR byte "${position} / 2")
        list(APPEND found "${file} at byte ${byte}")
        break()
      endif()
      math(EXPR skip "${at} + 1")
      string(SUBSTRING "${rest}" ${skip} -1 rest)
      math(EXPR offset "${offset} + ${skip}")
    endwhile()
  endforeach()
endforeach()

list(LENGTH files count)
if(found)
  list(JOIN found "\n  " where)
  message(FATAL_ERROR "the build directories (${SOURCE}, ${WINDOWS_BUILD}, ${HOST_BUILD}) are named in:\n  ${where}")
endif()
message(STATUS "none of ${count} built and installed files names ${SOURCE}, ${WINDOWS_BUILD} or ${HOST_BUILD}")
