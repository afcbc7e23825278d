# w4w_add_launcher(<target> PAYLOAD <file or target> [OUTPUT_NAME <name>] [EXECUTION_LEVEL <level>])
#
# Builds a launcher executable <target> that carries PAYLOAD as resource RT_RCDATA 100,
# embedded by the resource compiler, with the template launcher's code, manifest, version
# record and icons. EXECUTION_LEVEL (asInvoker, highestAvailable or requireAdministrator;
# default asInvoker) goes into the launcher's manifest: a launcher cannot start a payload
# that needs more rights than it has itself. The payload's own manifest is not read.
# The template target wrapper4wrapper must exist.

set(W4W_LAUNCHER_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../src/windows/wrappers/wrapper4wrapper)
cmake_path(NORMAL_PATH W4W_LAUNCHER_SOURCE_DIR)

function(w4w_add_launcher target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PAYLOAD;OUTPUT_NAME;EXECUTION_LEVEL" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "w4w_add_launcher(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_PAYLOAD)
    message(FATAL_ERROR "w4w_add_launcher(${target}): PAYLOAD is required")
  endif()
  if(NOT arg_EXECUTION_LEVEL)
    set(arg_EXECUTION_LEVEL asInvoker)
  endif()
  if(NOT arg_EXECUTION_LEVEL MATCHES "^(asInvoker|highestAvailable|requireAdministrator)$")
    message(FATAL_ERROR "w4w_add_launcher(${target}): EXECUTION_LEVEL ${arg_EXECUTION_LEVEL} is none of "
                        "asInvoker, highestAvailable, requireAdministrator")
  endif()
  if(NOT TARGET wrapper4wrapper)
    message(FATAL_ERROR "w4w_add_launcher(${target}): the launcher template target wrapper4wrapper is not defined yet")
  endif()

  if(TARGET ${arg_PAYLOAD})
    set(payload_file $<TARGET_FILE:${arg_PAYLOAD}>)
  else()
    get_filename_component(payload_file ${arg_PAYLOAD} ABSOLUTE)
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}.w4w)

  # The payload is copied to a fixed path so that the resource script needs no generator
  # expression, and so that the resources are compiled again whenever the payload changes.
  set(payload_copy ${dir}/payload.bin)
  add_custom_command(OUTPUT ${payload_copy}
    COMMAND ${CMAKE_COMMAND} -E copy ${payload_file} ${payload_copy}
    DEPENDS ${arg_PAYLOAD}
    COMMENT "Copying the payload of ${target}"
    VERBATIM)

  set(template_manifest ${W4W_LAUNCHER_SOURCE_DIR}/wrapper4wrapper.manifest)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${template_manifest})
  file(READ ${template_manifest} manifest)
  set(as_invoker [[level="asInvoker"]])
  string(FIND "${manifest}" "${as_invoker}" first)
  string(FIND "${manifest}" "${as_invoker}" last REVERSE)
  if(first EQUAL -1 OR NOT first EQUAL last)
    message(FATAL_ERROR "${template_manifest} must hold ${as_invoker} exactly once")
  endif()
  string(REPLACE "${as_invoker}" "level=\"${arg_EXECUTION_LEVEL}\"" manifest "${manifest}")
  file(CONFIGURE OUTPUT ${dir}/launcher.manifest CONTENT "${manifest}")

  file(CONFIGURE OUTPUT ${dir}/launcher.rc CONTENT [[
#define W4W_MANIFEST "@dir@/launcher.manifest"
#include "@W4W_LAUNCHER_SOURCE_DIR@/wrapper4wrapper.rc"
100 RCDATA "@payload_copy@"
]] @ONLY)

  get_target_property(template_dir wrapper4wrapper SOURCE_DIR)
  get_target_property(template_sources wrapper4wrapper SOURCES)
  set(sources)
  foreach(source IN LISTS template_sources)
    if(NOT source MATCHES "\\.rc$")
      get_filename_component(source ${source} ABSOLUTE BASE_DIR ${template_dir})
      list(APPEND sources ${source})
    endif()
  endforeach()

  add_executable(${target} WIN32 ${sources} ${dir}/launcher.rc ${payload_copy})
  # The template's script names its icon relative to itself; the compiler looks there only
  # for the script that it was given.
  target_include_directories(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:${W4W_LAUNCHER_SOURCE_DIR}>)
  set_source_files_properties(${dir}/launcher.rc PROPERTIES
    OBJECT_DEPENDS "${payload_copy};${dir}/launcher.manifest;${W4W_LAUNCHER_SOURCE_DIR}/wrapper4wrapper.ico")
  # Built like the template.
  foreach(property IN ITEMS COMPILE_DEFINITIONS COMPILE_OPTIONS LINK_LIBRARIES LINK_OPTIONS)
    get_target_property(value wrapper4wrapper ${property})
    if(value)
      set_property(TARGET ${target} PROPERTY ${property} "${value}")
    endif()
  endforeach()
  if(arg_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${arg_OUTPUT_NAME})
  endif()
endfunction()

# w4w_utf8_manifest(<target>)
#
# Gives a program of the project the launcher's manifest, so that it runs, as the launcher
# does, with UTF-8 as its code page.
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
