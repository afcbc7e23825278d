# What the test trees share: GoogleTest, and small filesystems for the cases of a full or a
# read-only disk.

set(W4W_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
if(EXISTS ${W4W_GTEST_SOURCE_DIR}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  add_subdirectory(${W4W_GTEST_SOURCE_DIR} googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest CONFIG REQUIRED)
endif()

# w4w_mount_fixture(<name> <dir> <tmpfs options>)
#
# The fixture <name>: a tmpfs mounted at dir while the tests that require it run. Where mount
# is refused (not root), dir stays an ordinary directory and the tests that need the small
# filesystem skip, saying so.
function(w4w_mount_fixture name dir options)
  add_test(NAME ${name}.mount COMMAND sh -c "mkdir -p '${dir}' && { mountpoint -q '${dir}' || mount -t tmpfs -o ${options} w4w-${name} '${dir}' || echo 'mount refused: the cases that need ${dir} will be skipped'; }")
  add_test(NAME ${name}.umount COMMAND sh -c "! mountpoint -q '${dir}' || umount '${dir}'")
  set_tests_properties(${name}.mount PROPERTIES FIXTURES_SETUP ${name} TIMEOUT 30)
  set_tests_properties(${name}.umount PROPERTIES FIXTURES_CLEANUP ${name} TIMEOUT 30)
endfunction()
