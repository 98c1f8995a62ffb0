# The plug-in built as device builds build it: a plain cross configure with
# a triple Debian does not know and no test tool reachable, and the builds of
# the Yocto recipe and the Buildroot package, each installed with DESTDIR and
# compared with what the native build installs and the recipe packages
# (scripts/check-device-build.sh). Once, from the native build.
if(NOT CMAKE_CROSSCOMPILING AND NOT KXSER_SANITIZE AND NOT KXSER_TSAN AND NOT KXSER_COVERAGE)
  foreach(kind cross yocto buildroot)
    add_test(NAME DeviceBuild.${kind}
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-device-build.sh ${kind} ${PROJECT_BINARY_DIR})
    set_tests_properties(DeviceBuild.${kind} PROPERTIES SKIP_RETURN_CODE 77 COST 100)
  endforeach()
endif()
