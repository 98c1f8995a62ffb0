# Runs the built host program as a separate process (through the emulator
# when cross-compiling) and checks its output and exit codes.
if(TARGET kxhost)
  add_library(kxhost_nosym SHARED ${CMAKE_CURRENT_SOURCE_DIR}/kxhost_nosym.c)
  set_target_properties(kxhost_nosym PROPERTIES PREFIX "" OUTPUT_NAME kxhost_nosym SUFFIX ".so")
  string(JOIN "|" KXHOST_EMULATOR_TEXT ${CMAKE_CROSSCOMPILING_EMULATOR})
  target_compile_definitions(test_kxhost PRIVATE
    KXHOST_PATH="$<TARGET_FILE:kxhost>"
    KXSER_LIB_PATH="$<TARGET_FILE:kxSer>"
    KXHOST_NOSYM_PATH="$<TARGET_FILE:kxhost_nosym>"
    KXHOST_EMULATOR="${KXHOST_EMULATOR_TEXT}")
  add_dependencies(test_kxhost kxhost kxhost_nosym kxSer)
endif()

# The man page and package tests install and package this build tree; the
# demo test asks make what make demo would do.
if(TARGET kxhost_manpage)
  target_compile_definitions(test_kxhost PRIVATE
    KXHOST_CMAKE="${CMAKE_COMMAND}"
    KXSER_BINARY_DIR="${CMAKE_BINARY_DIR}"
    KXSER_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KXSER_VERSION="${PROJECT_VERSION}"
    KXSER_MULTIARCH="${KXSER_MULTIARCH}")
  # Each native and cross build packages its own tree, as make package does
  # from trees of its own without the suite.
  if(NOT KXSER_SANITIZE AND NOT KXSER_TSAN)
    target_compile_definitions(test_kxhost PRIVATE KXSER_PACKAGES)
  endif()
  add_dependencies(test_kxhost kxhost_manpage)
endif()
