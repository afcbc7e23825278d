# w4w_add_launcher (see W4wAddLauncher.cmake) inside this project: the template is the target
# wrapper4wrapper. The packer runs on the build machine: the w4wpack target where that is the
# target machine, else one built for the host from the same sources, or the program that
# W4W_PACKER names.

set(W4W_PACKER "" CACHE FILEPATH "A w4wpack built for this machine, for w4w_add_launcher in a cross build (default: built here)")

set(W4W_LAUNCHER_TEMPLATE $<TARGET_FILE:wrapper4wrapper>)
set(W4W_LAUNCHER_TEMPLATE_DEPENDS wrapper4wrapper)
include(${CMAKE_CURRENT_LIST_DIR}/W4wAddLauncher.cmake)

# The packer command for this build: sets ${var} to the command and ${var}_DEPENDS to what
# a step that runs it depends on.
function(w4w_packer var)
  if(W4W_PACKER)
    set(packer ${W4W_PACKER})
    set(depends ${W4W_PACKER})
  elseif(NOT CMAKE_CROSSCOMPILING)
    set(packer w4wpack)
    set(depends w4wpack)
  else()
    set(dir ${CMAKE_BINARY_DIR}/host-w4wpack)
    set(packer ${dir}/bin/w4wpack${CMAKE_HOST_EXECUTABLE_SUFFIX})
    set(depends w4wpack_host ${packer})
    if(NOT TARGET w4wpack_host)
      include(ExternalProject)
      # The whole project configured for the host builds the packer alone.
      ExternalProject_Add(w4wpack_host
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${dir}
        CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${packer})
    endif()
  endif()
  set(${var} ${packer} PARENT_SCOPE)
  set(${var}_DEPENDS ${depends} PARENT_SCOPE)
endfunction()

# w4w_utf8_manifest(<target>)
#
# Gives a program of the project the launcher's manifest, so that it runs, as the launcher
# does, with UTF-8 as its code page.
set(W4W_LAUNCHER_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../src/windows/wrappers/wrapper4wrapper)
cmake_path(NORMAL_PATH W4W_LAUNCHER_SOURCE_DIR)
function(w4w_utf8_manifest target)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest.rc)
  file(CONFIGURE OUTPUT ${rc}
    CONTENT "LANGUAGE 0, 0\n1 24 \"${W4W_LAUNCHER_SOURCE_DIR}/wrapper4wrapper.manifest\"\n")
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${W4W_LAUNCHER_SOURCE_DIR}/wrapper4wrapper.manifest)
  if(MSVC)
    target_link_options(${target} PRIVATE /MANIFEST:NO)
  endif()
endfunction()
