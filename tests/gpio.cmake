# The GPIO channel's tests run against the stand-in driver.
include(${CMAKE_CURRENT_LIST_DIR}/gpiosim/gpiosim.cmake)
kxser_use_gpiosim(test_serdio)
