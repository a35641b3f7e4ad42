# System libraries the client stands on: Paho MQTT C (synchronous client) and cjose.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

# Paho's synchronous client with TLS (paho-mqtt3cs): tcp://, ws://, ssl://, mqtts:// and wss://.
# OpenSSL 3 is required: its security level 1, which Paho sets on every TLS context, refuses TLS 1.0
# and 1.1.
#
# This is the one place that chooses how the client links Paho: movra::paho. With MOVRA_TRANSPORT
# (the default) it is the library's static archive joined with the transport layer
# (client/paho_quirks/transport.h, built by client/paho_quirks/CMakeLists.txt); without it, or when
# the installed library is not one the layer was checked against, the stock shared library.
# movra::paho_stock is always the stock shared library (the benchmark's C program measures it).
find_package(OpenSSL 3.0 REQUIRED)
find_path(PAHO_MQTT_INCLUDE_DIR MQTTClient.h REQUIRED)
find_library(PAHO_MQTT_LIBRARY paho-mqtt3cs REQUIRED)
add_library(movra::paho_stock INTERFACE IMPORTED)
target_include_directories(movra::paho_stock INTERFACE "${PAHO_MQTT_INCLUDE_DIR}")
target_link_libraries(movra::paho_stock INTERFACE "${PAHO_MQTT_LIBRARY}" OpenSSL::SSL OpenSSL::Crypto)

# The calls the transport layer interposes, each with the archive member whose calls it must reach
# (--wrap redirects only references between members, never a call inside the member that defines
# the function; in the releases below none of these is called inside its own member).
set(MOVRA_PAHO_WRAPS
  connect:Socket.c.o poll:Socket.c.o recv:Socket.c.o writev:Socket.c.o close:Socket.c.o
  SSL_set_fd:SSLSocket.c.o SSL_read:SSLSocket.c.o SSL_write:SSLSocket.c.o
  MQTTTime_sleep:MQTTClient.c.o Thread_wait_sem:MQTTClient.c.o Thread_post_sem:MQTTClient.c.o
  Thread_start:MQTTClient.c.o Socket_getReadySocket:MQTTClient.c.o
  Thread_lock_mutex:MQTTClient.c.o Thread_unlock_mutex:MQTTClient.c.o)
# Library versions (as the library reports them) whose code paths the layer was checked against:
# Debian 12's package 1.3.12-1 reports 1.3.11. Later releases renamed the internal calls
# (Paho_thread_*), so they link the stock library.
set(MOVRA_TRANSPORT_VERSIONS 1.3.11 1.3.12)

set(MOVRA_PAHO_TRANSPORT OFF)
set(paho_linked "${PAHO_MQTT_LIBRARY}")
if(MOVRA_TRANSPORT)
  find_library(PAHO_MQTT_ARCHIVE libpaho-mqtt3cs.a)
  set(transport_problem "")
  if(NOT PAHO_MQTT_ARCHIVE)
    set(transport_problem "libpaho-mqtt3cs.a is not installed")
  else()
    execute_process(COMMAND "${CMAKE_NM}" -A "${PAHO_MQTT_ARCHIVE}" OUTPUT_VARIABLE paho_symbols
                    ERROR_QUIET RESULT_VARIABLE nm_rc)
    if(NOT nm_rc EQUAL 0)
      set(transport_problem "nm could not read ${PAHO_MQTT_ARCHIVE}")
    endif()
    foreach(wrap IN LISTS MOVRA_PAHO_WRAPS)
      string(REPLACE ":" ";" wrap "${wrap}")
      list(GET wrap 0 call)
      list(GET wrap 1 member)
      string(REPLACE "." "\\." member_re "${member}")
      if(NOT paho_symbols MATCHES ":${member_re}: +U ${call}\n")
        string(APPEND transport_problem " ${member} does not call ${call};")
      endif()
    endforeach()
  endif()
  if(transport_problem STREQUAL "")
    set(paho_linked "${PAHO_MQTT_ARCHIVE}")
  endif()
endif()

# The Paho MQTT C version, as the library that is linked reports it (MQTTClient_getVersionInfo).
# The workarounds in client/paho_quirks/ were measured on Debian 12's package 1.3.12-1, whose library
# reports 1.3.11 (upstream did not bump the number in that release); a library older than that may
# behave differently, so configure stops.
if(NOT MOVRA_PAHO_VERSION_OF STREQUAL paho_linked)
  set(paho_probe "${CMAKE_BINARY_DIR}/paho_version.c")
  file(WRITE "${paho_probe}" [=[
#include <MQTTClient.h>
#include <stdio.h>
#include <string.h>
int main(void) {
    for (MQTTClient_nameValue* info = MQTTClient_getVersionInfo(); info->name != NULL; ++info)
        if (strcmp(info->name, "Version") == 0) printf("%s", info->value);
    return 0;
}
]=])
  try_run(paho_run paho_compiled "${CMAKE_BINARY_DIR}/paho_version" "${paho_probe}"
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${PAHO_MQTT_INCLUDE_DIR}"
    LINK_LIBRARIES "${paho_linked}" OpenSSL::SSL OpenSSL::Crypto Threads::Threads
    COMPILE_OUTPUT_VARIABLE paho_compile_output
    RUN_OUTPUT_VARIABLE paho_version)
  if(NOT paho_compiled OR NOT paho_run EQUAL 0 OR NOT paho_version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+")
    message(FATAL_ERROR "Paho MQTT C: could not read the library's version (${paho_linked})")
  endif()
  set(MOVRA_PAHO_VERSION "${paho_version}" CACHE INTERNAL "Version the linked Paho MQTT C reports")
  set(MOVRA_PAHO_VERSION_OF "${paho_linked}" CACHE INTERNAL "The library MOVRA_PAHO_VERSION is of")
endif()
message(STATUS "Paho MQTT C: ${MOVRA_PAHO_VERSION} (${paho_linked})")
if(MOVRA_PAHO_VERSION VERSION_LESS 1.3.11)
  message(FATAL_ERROR "Paho MQTT C ${MOVRA_PAHO_VERSION} is older than 1.3.11, the oldest release the "
                      "client's library workarounds (client/paho_quirks/) were measured on")
endif()

add_library(movra::paho INTERFACE IMPORTED)
if(MOVRA_TRANSPORT AND transport_problem STREQUAL "")
  if(MOVRA_PAHO_VERSION IN_LIST MOVRA_TRANSPORT_VERSIONS)
    set(MOVRA_PAHO_TRANSPORT ON)
  else()
    set(transport_problem "version ${MOVRA_PAHO_VERSION} was not checked against the layer")
  endif()
endif()
if(MOVRA_PAHO_TRANSPORT)
  message(STATUS "Paho MQTT C: linked through the transport layer (${PAHO_MQTT_ARCHIVE})")
  # Built by client/paho_quirks/CMakeLists.txt.
  target_link_libraries(movra::paho INTERFACE movra_paho_transport)
else()
  if(MOVRA_TRANSPORT)
    message(STATUS "Paho MQTT C: the transport layer is off, linking the stock library "
                   "${PAHO_MQTT_LIBRARY}:${transport_problem}")
  else()
    message(STATUS "Paho MQTT C: MOVRA_TRANSPORT=OFF, linking the stock library ${PAHO_MQTT_LIBRARY}")
  endif()
  target_link_libraries(movra::paho INTERFACE movra::paho_stock)
endif()

pkg_check_modules(CJOSE REQUIRED IMPORTED_TARGET cjose)
add_library(movra::cjose ALIAS PkgConfig::CJOSE)
