# The exported symbols and, for armhf, the whole ABI are part of the contract
# with hosts that will not be rebuilt.
add_test(NAME Abi.RequiredSymbols
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-symbols.sh ${CMAKE_NM} $<TARGET_FILE:kxSer>
          ${PROJECT_SOURCE_DIR}/abi/kxSer.symbols)

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND NOT KXSER_SANITIZE)
  find_program(KXSER_ABIDW abidw)
  if(KXSER_ABIDW)
    add_test(NAME Abi.Armhf.MatchesBaseline
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-abi.sh $<TARGET_FILE:kxSer>
              ${PROJECT_SOURCE_DIR}/abi/kxSer-armhf.abi)
  else()
    message(FATAL_ERROR "abidw not found: install Debian's abigail-tools (scripts/install-deps.sh does)")
  endif()
endif()
