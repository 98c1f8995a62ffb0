# The exported symbols and, for each ARM build, the whole ABI are part of the
# contract with hosts that will not be rebuilt. One symbol list serves every
# architecture: the exported signatures use int, long and unsigned long by
# name, which mangle alike on ILP32 and LP64 (only their widths differ);
# size_t or the fixed-width 64-bit types would not.
add_test(NAME Abi.RequiredSymbols
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-symbols.sh ${CMAKE_NM} $<TARGET_FILE:kxSer>
          ${PROJECT_SOURCE_DIR}/abi/kxSer.symbols)

if(CMAKE_CROSSCOMPILING AND KXSER_DEB_ARCH MATCHES "^arm" AND NOT KXSER_SANITIZE)
  find_program(KXSER_ABIDW abidw)
  if(KXSER_ABIDW)
    add_test(NAME Abi.${KXSER_DEB_ARCH}.MatchesBaseline
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-abi.sh $<TARGET_FILE:kxSer>
              ${PROJECT_SOURCE_DIR}/abi/kxSer-${KXSER_DEB_ARCH}.abi)
  else()
    message(FATAL_ERROR "abidw not found: install Debian's abigail-tools (scripts/install-deps.sh does)")
  endif()
endif()
