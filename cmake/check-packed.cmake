# cmake -DPACKER=... -DOBJDUMP=... -DTEMPLATE=... -DPAYLOAD=... -DWORK=dir -P check-packed.cmake
#
# A wrapped payload as tools nobody here wrote see it: objdump reads it without a warning,
# osslsigncode finds its checksum right, signs it, and verifies the signature; a template
# that was signed gives the same output, and w4wpack says that it dropped the signature.
cmake_minimum_required(VERSION 3.25)
find_program(OSSLSIGNCODE osslsigncode REQUIRED)
find_program(OPENSSL openssl REQUIRED)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# Runs the command; fails unless it exits with 0. Leaves its output in out and err.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} ended with ${result}:\n${stdout}${stderr}")
  endif()
  set(out "${stdout}" PARENT_SCOPE)
  set(err "${stderr}" PARENT_SCOPE)
endfunction()

function(expect text pattern)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "expected ${pattern} in:\n${text}")
  endif()
endfunction()

function(refuse text pattern)
  if(text MATCHES "${pattern}")
    message(FATAL_ERROR "did not expect ${pattern} in:\n${text}")
  endif()
endfunction()

run(${PACKER} ${TEMPLATE} ${PAYLOAD} ${WORK}/out.exe)
run(${OBJDUMP} -p ${WORK}/out.exe)
expect("${out}" "The .rsrc Resource Directory section")
refuse("${out}" "[Ww]arning|[Cc]orrupt")
if(NOT err STREQUAL "")
  message(FATAL_ERROR "objdump -p: ${err}")
endif()
message(STATUS "objdump -p: no warning")

# Verifying an unsigned file fails, but shows the checksums first.
execute_process(COMMAND ${OSSLSIGNCODE} verify ${WORK}/out.exe OUTPUT_VARIABLE out ERROR_VARIABLE err)
expect("${out}${err}" "PE checksum")
refuse("${out}${err}" "invalid PE checksum|Calculated PE checksum")

run(${OPENSSL} req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=w4wpack-test
    -keyout ${WORK}/key.pem -out ${WORK}/cert.pem)
set(sign ${OSSLSIGNCODE} sign -certs ${WORK}/cert.pem -key ${WORK}/key.pem)
set(verify ${OSSLSIGNCODE} verify -CAfile ${WORK}/cert.pem -TSA-CAfile ${WORK}/cert.pem)
run(${sign} -in ${WORK}/out.exe -out ${WORK}/signed.exe)
run(${verify} ${WORK}/signed.exe)
expect("${out}" "Signature verification: ok")
refuse("${out}${err}" "MISMATCH|invalid")
message(STATUS "osslsigncode: signed and verified")

run(${sign} -in ${TEMPLATE} -out ${WORK}/signed-template.exe)
run(${PACKER} ${WORK}/signed-template.exe ${PAYLOAD} ${WORK}/from-signed.exe)
expect("${err}" "warning: the template was signed.*sign the output")
run(${CMAKE_COMMAND} -E compare_files ${WORK}/out.exe ${WORK}/from-signed.exe)
message(STATUS "a signed template: its signature dropped, said so, the same output")
file(REMOVE_RECURSE ${WORK})
