# Tests of the board run (make test-board, scripts/board/): the serial
# channel on a real UART, a real USB-serial adapter, a 16550 and both ends
# of a USB gadget, and a real /dev/gpio served through CUSE by
# kxgpiodev. Everywhere else they skip with the reason, except that a native
# build on a kernel with CUSE serves the device itself.
set(KXSER_BOARD_DIR ${CMAKE_CURRENT_SOURCE_DIR}/board)

add_executable(kxgpiodev ${KXSER_BOARD_DIR}/kxgpiodev.cpp)
target_compile_options(kxgpiodev PRIVATE ${KXSER_WARNINGS})
# The far end of the USB gadget's pair of ports, served on the board itself
# (the build machine builds its own for the lines QEMU wires out).
add_executable(uart-peer ${KXSER_BOARD_DIR}/uart_peer.cpp)
target_compile_options(uart-peer PRIVATE ${KXSER_WARNINGS})

function(kxser_add_board_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "GPIO" "PREFIX" "SOURCES")
  set(lock "")
  if(arg_GPIO)
    set(lock ${KXSER_GPIO_LOCK})
  endif()
  add_executable(${name} ${arg_SOURCES})
  target_include_directories(${name} PRIVATE ${KXSER_BOARD_DIR})
  target_link_libraries(${name} PRIVATE kxtest_support gtest_main)
  target_compile_options(${name} PRIVATE ${KXSER_WARNINGS})
  if(NOT CMAKE_CROSSCOMPILING)
    # Cross builds run the device only on the board, which starts it.
    target_compile_definitions(${name} PRIVATE KXGPIODEV_PATH="$<TARGET_FILE:kxgpiodev>")
    add_dependencies(${name} kxgpiodev)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT ${KXSER_DISCOVERY_TIMEOUT}
    TEST_PREFIX "${arg_PREFIX}"
    PROPERTIES TIMEOUT 300 ${lock}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

kxser_add_board_test(test_board_uart SOURCES ${KXSER_BOARD_DIR}/test_board_uart.cpp)
if(TARGET kxhost)
  target_compile_definitions(test_board_uart PRIVATE
    KXHOST_PATH="$<TARGET_FILE:kxhost>" KXSER_LIB_PATH="$<TARGET_FILE:kxSer>")
  add_dependencies(test_board_uart kxhost)
endif()
target_compile_definitions(test_board_uart PRIVATE UART_PEER_PATH="$<TARGET_FILE:uart-peer>")
add_dependencies(test_board_uart uart-peer)

kxser_add_board_test(test_gpio_device GPIO
  SOURCES ${KXSER_BOARD_DIR}/test_gpio_device.cpp ${KXSER_BOARD_DIR}/gpio_device.cpp)
if(TARGET kxhost)
  target_compile_definitions(test_gpio_device PRIVATE
    KXHOST_PATH="$<TARGET_FILE:kxhost>" KXSER_LIB_PATH="$<TARGET_FILE:kxSer>")
  add_dependencies(test_gpio_device kxhost)
endif()

# The GPIO channel's own tests once more, against the device instead of the
# stand-in driver: no interposer, the real system calls.
kxser_add_board_test(test_serdio_device GPIO PREFIX "device."
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_serdio.cpp ${KXSER_BOARD_DIR}/gpiosim_device.cpp
          ${KXSER_BOARD_DIR}/gpio_device.cpp)
target_include_directories(test_serdio_device PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/gpiosim)
