# A host built the way existing hosts are: its own copy of the interfaces, no
# link against the library, everything reached through dlopen and the vtables.
add_executable(vtable_host ${CMAKE_CURRENT_SOURCE_DIR}/host/vtable_host.cpp)
target_link_libraries(vtable_host PRIVATE gtest_main ${CMAKE_DL_LIBS} util pthread)
target_compile_options(vtable_host PRIVATE ${KXSER_WARNINGS})
target_compile_definitions(vtable_host PRIVATE KXSER_LIBRARY="$<TARGET_FILE:kxSer>")
add_dependencies(vtable_host kxSer)
gtest_discover_tests(vtable_host
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT ${KXSER_DISCOVERY_TIMEOUT}
  PROPERTIES TIMEOUT 300 ${KXSER_GPIO_LOCK}
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
if(KXSER_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # The host's own declarations are ABI-identical to the library's but are
  # different C++ types, which is the point of this test: UBSan's function
  # and vptr type checks would flag every call.
  target_compile_options(vtable_host PRIVATE -fno-sanitize=function,vptr)
endif()
