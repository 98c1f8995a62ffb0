# The fault injector: its wrappers take the place of libc's system calls
# for the whole process (kxSer.so included), so an executable that uses it
# must export them.
include_guard(GLOBAL)

function(kxser_use_faultsim target)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/faultsim/faultsim.c)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/faultsim)
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS} pthread)
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
endfunction()
