# w4w_add_launcher(<target> PAYLOAD <file or target> [OUTPUT_NAME <name>]
#                  [EXECUTION_LEVEL <level>] [SUBSYSTEM console|gui] [ICON <file.ico>]
#                  [KEEP_TEMPLATE_IDENTITY])
#
# Writes <name>.exe (default <target>.exe) into the directory of the project's programs: the
# launcher template wrapper4wrapper carrying PAYLOAD, made by w4wpack with the matching
# options, so that it is the same file that w4wpack or ./w4w wrap write for the same inputs.
# <target> is a custom target that builds it; its property W4W_LAUNCHER_FILE holds the path.
# EXECUTION_LEVEL defaults to the one that the payload's own manifest asks for, SUBSYSTEM to
# the payload's own.
#
# The packer runs on the build machine: the w4wpack target where that is the target machine,
# else one built for the host from the same sources, or the program that W4W_PACKER names.

set(W4W_PACKER "" CACHE FILEPATH "A w4wpack built for this machine, for w4w_add_launcher in a cross build (default: built here)")

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

function(w4w_add_launcher target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "KEEP_TEMPLATE_IDENTITY" "PAYLOAD;OUTPUT_NAME;EXECUTION_LEVEL;SUBSYSTEM;ICON" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "w4w_add_launcher(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_PAYLOAD)
    message(FATAL_ERROR "w4w_add_launcher(${target}): PAYLOAD is required")
  endif()
  if(NOT TARGET wrapper4wrapper)
    message(FATAL_ERROR "w4w_add_launcher(${target}): the launcher template target wrapper4wrapper is not defined yet")
  endif()

  set(options)
  if(TARGET ${arg_PAYLOAD})
    set(payload $<TARGET_FILE:${arg_PAYLOAD}>)
    set(inputs ${arg_PAYLOAD})
  else()
    get_filename_component(payload ${arg_PAYLOAD} ABSOLUTE)
    set(inputs ${payload})
  endif()
  if(arg_EXECUTION_LEVEL)
    list(APPEND options --execution-level ${arg_EXECUTION_LEVEL})
  endif()
  if(arg_SUBSYSTEM)
    list(APPEND options --subsystem ${arg_SUBSYSTEM})
  endif()
  if(arg_ICON)
    get_filename_component(icon ${arg_ICON} ABSOLUTE)
    list(APPEND options --icon ${icon})
    list(APPEND inputs ${icon})
  endif()
  if(arg_KEEP_TEMPLATE_IDENTITY)
    list(APPEND options --keep-template-identity)
  endif()
  if(NOT arg_OUTPUT_NAME)
    set(arg_OUTPUT_NAME ${target})
  endif()
  if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set(output ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${arg_OUTPUT_NAME}.exe)
  else()
    set(output ${CMAKE_CURRENT_BINARY_DIR}/${arg_OUTPUT_NAME}.exe)
  endif()

  w4w_packer(packer)
  add_custom_command(OUTPUT ${output}
    COMMAND ${packer} ${options} $<TARGET_FILE:wrapper4wrapper> ${payload} ${output}
    DEPENDS ${packer_DEPENDS} wrapper4wrapper ${inputs}
    COMMENT "Wrapping ${arg_PAYLOAD} into ${arg_OUTPUT_NAME}.exe"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
  set_target_properties(${target} PROPERTIES W4W_LAUNCHER_FILE ${output})
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
