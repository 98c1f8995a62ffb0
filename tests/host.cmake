# The plug-in as a host sees it: the test loads the built kxSer.so with
# dlopen, links nothing of it and sees only include/. The stand-in GPIO
# driver is linked in so the dlopened copy reaches it too.
add_executable(test_host
  ${CMAKE_CURRENT_SOURCE_DIR}/host_dlopen.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/kxtest.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/kxnet.cpp)
target_include_directories(test_host PRIVATE ${PROJECT_SOURCE_DIR}/include
                                             ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_compile_definitions(test_host PRIVATE KXSER_LIB_PATH="$<TARGET_FILE:kxSer>")
target_compile_options(test_host PRIVATE ${KXSER_WARNINGS})
target_link_libraries(test_host PRIVATE gtest gtest_main util pthread ${CMAKE_DL_LIBS})
kxser_use_stand_in(test_host gpiosim)
add_dependencies(test_host kxSer)
gtest_discover_tests(test_host
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT ${KXSER_DISCOVERY_TIMEOUT}
  PROPERTIES TIMEOUT 300
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
