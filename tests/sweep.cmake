# The fault sweep runs the library with the fault injector in front of libc.
include(${CMAKE_CURRENT_LIST_DIR}/faultsim/faultsim.cmake)
kxser_use_faultsim(test_sweep)
