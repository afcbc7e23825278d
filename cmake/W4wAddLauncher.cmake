# w4w_add_launcher(<target> PAYLOAD <file or target> [OUTPUT_NAME <name>]
#                  [EXECUTION_LEVEL <level>] [SUBSYSTEM console|gui] [ICON <file.ico>]
#                  [KEEP_TEMPLATE_IDENTITY])
# w4w_add_launcher(<target> DIRECTORY <dir> [ENTRY <relative\path.exe>] [COMPRESS] ...)
#
# With DIRECTORY instead of PAYLOAD, the launcher carries every file under <dir> and starts
# ENTRY (by default the only .exe at its top level); COMPRESS stores the files deflated.
#
# Writes <name>.exe (default <target>.exe) into the directory of the project's programs: the
# launcher template carrying PAYLOAD, made by w4wpack with the matching options, so that it is
# the same file that w4wpack or ./w4w wrap write for the same inputs. <target> is a custom
# target that builds it; its property W4W_LAUNCHER_FILE holds the path. EXECUTION_LEVEL
# defaults to the one that the payload's own manifest asks for, SUBSYSTEM to the payload's own.
#
# Whoever includes this file sets W4W_LAUNCHER_TEMPLATE (the template: a file, or a generator
# expression naming a target), W4W_LAUNCHER_TEMPLATE_DEPENDS (what a step that reads it
# depends on), and defines w4w_packer(<var>), which sets <var> to the packer's command and
# <var>_DEPENDS to what a step that runs it depends on.

function(w4w_add_launcher target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "KEEP_TEMPLATE_IDENTITY;COMPRESS"
    "PAYLOAD;DIRECTORY;ENTRY;OUTPUT_NAME;EXECUTION_LEVEL;SUBSYSTEM;ICON" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "w4w_add_launcher(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_PAYLOAD AND NOT arg_DIRECTORY OR arg_PAYLOAD AND arg_DIRECTORY)
    message(FATAL_ERROR "w4w_add_launcher(${target}): PAYLOAD or DIRECTORY is required, not both")
  endif()
  if(NOT W4W_LAUNCHER_TEMPLATE)
    message(FATAL_ERROR "w4w_add_launcher(${target}): no launcher template is known")
  endif()

  set(options)
  if(arg_DIRECTORY)
    get_filename_component(payload ${arg_DIRECTORY} ABSOLUTE)
    # Every file under it, so that a changed, added or removed one wraps again.
    file(GLOB_RECURSE inputs CONFIGURE_DEPENDS ${payload}/*)
    if(arg_ENTRY)
      list(APPEND options --entry ${arg_ENTRY})
    endif()
    if(arg_COMPRESS)
      list(APPEND options --compress)
    endif()
    set(arg_PAYLOAD ${arg_DIRECTORY})
  elseif(TARGET ${arg_PAYLOAD})
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
    COMMAND ${packer} ${options} ${W4W_LAUNCHER_TEMPLATE} ${payload} ${output}
    DEPENDS ${packer_DEPENDS} ${W4W_LAUNCHER_TEMPLATE_DEPENDS} ${inputs}
    COMMENT "Wrapping ${arg_PAYLOAD} into ${arg_OUTPUT_NAME}.exe"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
  set_target_properties(${target} PROPERTIES W4W_LAUNCHER_FILE ${output})
endfunction()
