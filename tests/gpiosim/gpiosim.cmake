# The stand-in GPIO driver: its open/read/ioctl/close take the place of
# libc's for the whole process (kxSer.so and dlopened copies included), so
# an executable that uses it must export them.
include_guard(GLOBAL)

function(kxser_use_gpiosim target)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/gpiosim/gpiosim.c)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/gpiosim)
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS} pthread)
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
endfunction()
