# examples/host built against an installed tree through each door a host
# build uses (pkg-config, CMake find_package) and run against a loopback
# echo peer. Native builds only: the example is built with the host compiler.
if(NOT CMAKE_CROSSCOMPILING AND NOT KXSER_SANITIZE AND NOT KXSER_TSAN)
  foreach(door pkg-config cmake)
    add_test(NAME ExampleHost.${door}
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-example-host.sh ${door} ${PROJECT_BINARY_DIR}
              ${CMAKE_CXX_COMPILER} ${CMAKE_COMMAND})
  endforeach()
endif()
