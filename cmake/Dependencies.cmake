# System libraries the client stands on: Paho MQTT C (synchronous client) and cjose.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

# Paho's synchronous client with TLS (paho-mqtt3cs): tcp://, ws://, ssl://, mqtts:// and wss://.
# OpenSSL 3 is required: its security level 1, which Paho sets on every TLS context, refuses TLS 1.0
# and 1.1.
#
# This is the one place that chooses how the client links Paho: movra::paho. With MOVRA_TRANSPORT
# (the default) it is the library's static archive joined with the transport layer
# (client/paho_quirks/transport.h, built by client/paho_quirks/CMakeLists.txt), in the tiers that
# the archive's own symbols and version allow (below); without it, or when no tier fits, the stock
# shared library. movra::paho_stock is always the stock shared library (the benchmark's C program
# measures it).
find_package(OpenSSL 3.0 REQUIRED)
find_path(PAHO_MQTT_INCLUDE_DIR MQTTClient.h REQUIRED)
find_library(PAHO_MQTT_LIBRARY paho-mqtt3cs REQUIRED)
add_library(movra::paho_stock INTERFACE IMPORTED)
target_include_directories(movra::paho_stock INTERFACE "${PAHO_MQTT_INCLUDE_DIR}")
target_link_libraries(movra::paho_stock INTERFACE "${PAHO_MQTT_LIBRARY}" OpenSSL::SSL OpenSSL::Crypto)

# The Paho MQTT C version as a library reports it (MQTTClient_getVersionInfo), cached per library.
# Debian 12's package 1.3.12-1 reports 1.3.11 (upstream did not bump the number in that release).
function(movra_paho_version_of library out)
  if(NOT MOVRA_PAHO_VERSION_OF STREQUAL library)
    set(probe "${CMAKE_BINARY_DIR}/paho_version.c")
    file(WRITE "${probe}" [=[
#include <MQTTClient.h>
#include <stdio.h>
#include <string.h>
int main(void) {
    for (MQTTClient_nameValue* info = MQTTClient_getVersionInfo(); info->name != NULL; ++info)
        if (strcmp(info->name, "Version") == 0) printf("%s", info->value);
    return 0;
}
]=])
    try_run(paho_run paho_compiled "${CMAKE_BINARY_DIR}/paho_version" "${probe}"
      CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${PAHO_MQTT_INCLUDE_DIR}"
      LINK_LIBRARIES "${library}" OpenSSL::SSL OpenSSL::Crypto Threads::Threads
      COMPILE_OUTPUT_VARIABLE paho_compile_output
      RUN_OUTPUT_VARIABLE version)
    if(NOT paho_compiled OR NOT paho_run EQUAL 0 OR NOT version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
      message(FATAL_ERROR "Paho MQTT C: could not read the library's version (${library})")
    endif()
    set(MOVRA_PAHO_VERSION "${version}" CACHE INTERNAL "Version the Paho MQTT C library reports")
    set(MOVRA_PAHO_VERSION_OF "${library}" CACHE INTERNAL "The library MOVRA_PAHO_VERSION is of")
  endif()
  set(${out} "${MOVRA_PAHO_VERSION}" PARENT_SCOPE)
endfunction()

# The transport layer's tiers. Each is a set of calls that --wrap sends to the layer, written
# call:member, the archive member whose calls the wrap must reach (--wrap redirects references
# between members only, never a call inside the member that defines the function). A tier is on
# when every member makes its calls (nm), the functions it needs are defined where it expects them,
# and the archive's version (the string it reports itself) is one whose code behind those calls was
# read: --wrap does not check types, so a function of the same name with another meaning would link
# and corrupt memory.
# - socket: the C library's and OpenSSL's socket calls, the inbound guard's reads and writes among
#   them. Releases 1.3.11 to 1.3.16.
# - scheduling: the receive thread's pass and pauses and the library's threads: MQTTTime_sleep
#   (usleep is also the proxy's and the semaphore loop's pause, so the library's name is kept),
#   Socket_getReadySocket, and pthread_create, made where Thread.c starts a thread (the same in
#   every release; it replaces Thread_start/Paho_thread_start). Releases 1.3.11 to 1.3.16.
# - handover: the library's lock functions, in the archive's spelling (Thread_lock_mutex up to
#   1.3.12, Paho_thread_lock_mutex from 1.3.13; pthread_mutex_lock would also catch the locks
#   inside the library's semaphores and events, which are no client lock). Releases 1.3.11 to
#   1.3.15: 1.3.16 reworked the receive thread's pass (a socket pair wakes its poll, drained before
#   each wait), and the guard, which counts on that pass waiting between its turns at the client
#   lock, kept a connecting caller from the lock while a connect awaited its CONNACK (native tests
#   hung on Debian sid). There the settling pauses of settle.h apply instead.
# - semaphore: the callers' waits for the receive thread, Thread_wait_sem and Thread_post_sem,
#   binary semaphores polled every 10 ms. Only where the archive still has them (1.3.11 to 1.3.15):
#   1.3.16 replaced them with condition-variable events, which wake a waiter at once by themselves,
#   so there is nothing of this kind to shorten there.
set(MOVRA_PAHO_SOCKET_WRAPS
  connect:Socket.c.o poll:Socket.c.o recv:Socket.c.o writev:Socket.c.o close:Socket.c.o
  SSL_set_fd:SSLSocket.c.o SSL_read:SSLSocket.c.o SSL_write:SSLSocket.c.o)
set(MOVRA_PAHO_SEMAPHORE_WRAPS Thread_wait_sem:MQTTClient.c.o Thread_post_sem:MQTTClient.c.o)
# The releases whose code the layer was read against, and the last one of two tiers.
set(MOVRA_PAHO_LAYER_OLDEST 1.3.11)
set(MOVRA_PAHO_LAYER_NEWEST 1.3.16)
set(MOVRA_PAHO_HANDOVER_NEWEST 1.3.15)
set(MOVRA_PAHO_SEMAPHORE_NEWEST 1.3.15)

# Whether every call:member of a list is made by that member of the archive ("" when so, else what
# is missing). paho_symbols is `nm -A` of the archive.
function(movra_paho_missing_calls wraps out)
  set(missing "")
  foreach(wrap IN LISTS wraps)
    string(REPLACE ":" ";" wrap "${wrap}")
    list(GET wrap 0 call)
    list(GET wrap 1 member)
    string(REPLACE "." "\\." member_re "${member}")
    if(NOT paho_symbols MATCHES ":${member_re}: +U ${call}\n")
      string(APPEND missing " ${member} does not call ${call};")
    endif()
  endforeach()
  set(${out} "${missing}" PARENT_SCOPE)
endfunction()

function(movra_paho_defines member symbol out)
  string(REPLACE "." "\\." member_re "${member}")
  if(paho_symbols MATCHES ":${member_re}: *[0-9a-f]+ T ${symbol}\n")
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Turns `tier` on with its wraps (the arguments after `why`) when the tier it builds on, `needs`,
# is on; otherwise records why not. A macro: it appends to the caller's lists.
macro(movra_transport_admit tier needs why)
  if(NOT "${needs}" IN_LIST MOVRA_TRANSPORT_TIERS)
    string(APPEND transport_problem " ${tier} tier: needs ${why};")
  else()
    list(APPEND MOVRA_TRANSPORT_TIERS ${tier})
    list(APPEND MOVRA_PAHO_WRAPS ${ARGN})
  endif()
endmacro()

set(MOVRA_PAHO_TRANSPORT OFF)
set(MOVRA_TRANSPORT_TIERS "")
set(MOVRA_PAHO_WRAPS "")
set(MOVRA_PAHO_THREAD_PREFIX "")
set(transport_problem "")
if(MOVRA_TRANSPORT)
  find_library(PAHO_MQTT_ARCHIVE libpaho-mqtt3cs.a)
  if(NOT PAHO_MQTT_ARCHIVE)
    set(transport_problem " libpaho-mqtt3cs.a is not installed;")
  else()
    execute_process(COMMAND "${CMAKE_NM}" -A "${PAHO_MQTT_ARCHIVE}" OUTPUT_VARIABLE paho_symbols
                    ERROR_QUIET RESULT_VARIABLE nm_rc)
    if(NOT nm_rc EQUAL 0)
      set(transport_problem " nm could not read ${PAHO_MQTT_ARCHIVE};")
    endif()
  endif()
endif()
if(MOVRA_TRANSPORT AND transport_problem STREQUAL "")
  movra_paho_version_of("${PAHO_MQTT_ARCHIVE}" archive_version)
  if(archive_version VERSION_LESS MOVRA_PAHO_LAYER_OLDEST
     OR archive_version VERSION_GREATER MOVRA_PAHO_LAYER_NEWEST)
    set(transport_problem " the layer was not read against version ${archive_version};")
  else()
    movra_paho_missing_calls("${MOVRA_PAHO_SOCKET_WRAPS}" missing)
    if(missing STREQUAL "")
      list(APPEND MOVRA_TRANSPORT_TIERS socket)
      list(APPEND MOVRA_PAHO_WRAPS ${MOVRA_PAHO_SOCKET_WRAPS})
    else()
      string(APPEND transport_problem " socket tier:${missing}")
    endif()

    foreach(prefix IN ITEMS Paho_thread_ Thread_)
      movra_paho_defines(Thread.c.o ${prefix}lock_mutex defined)
      if(defined)
        set(MOVRA_PAHO_THREAD_PREFIX ${prefix})
        break()
      endif()
    endforeach()
    set(scheduling_wraps
      pthread_create:Thread.c.o MQTTTime_sleep:MQTTClient.c.o Socket_getReadySocket:MQTTClient.c.o)
    movra_paho_missing_calls("${scheduling_wraps}" missing)
    movra_paho_defines(Socket.c.o Socket_getReadySocket ready_defined)
    movra_paho_defines(MQTTTime.c.o MQTTTime_sleep sleep_defined)
    if(NOT missing STREQUAL "" OR NOT ready_defined OR NOT sleep_defined)
      string(APPEND transport_problem " scheduling tier:${missing} or its pass and pause moved;")
    else()
      movra_transport_admit(scheduling socket "the socket tier's wake-ups" ${scheduling_wraps})
    endif()

    set(handover_wraps
      ${MOVRA_PAHO_THREAD_PREFIX}lock_mutex:MQTTClient.c.o
      ${MOVRA_PAHO_THREAD_PREFIX}unlock_mutex:MQTTClient.c.o)
    movra_paho_missing_calls("${handover_wraps}" missing)
    if(archive_version VERSION_GREATER MOVRA_PAHO_HANDOVER_NEWEST)
      string(APPEND transport_problem
             " handover tier: the receive pass of ${archive_version} was not read against;")
    elseif(MOVRA_PAHO_THREAD_PREFIX STREQUAL "")
      string(APPEND transport_problem " handover tier: Thread.c.o defines no lock_mutex;")
    elseif(NOT missing STREQUAL "")
      string(APPEND transport_problem " handover tier:${missing}")
    else()
      movra_transport_admit(handover scheduling "the scheduling tier" ${handover_wraps})
    endif()

    movra_paho_defines(Thread.c.o Thread_wait_sem wait_defined)
    movra_paho_defines(Thread.c.o Thread_post_sem post_defined)
    if(wait_defined AND post_defined AND archive_version VERSION_LESS_EQUAL MOVRA_PAHO_SEMAPHORE_NEWEST)
      movra_paho_missing_calls("${MOVRA_PAHO_SEMAPHORE_WRAPS}" missing)
      if(NOT missing STREQUAL "")
        string(APPEND transport_problem " semaphore tier:${missing}")
      else()
        movra_transport_admit(semaphore scheduling "the scheduling tier" ${MOVRA_PAHO_SEMAPHORE_WRAPS})
      endif()
    elseif(wait_defined OR post_defined)
      string(APPEND transport_problem
             " semaphore tier: version ${archive_version} has semaphores the layer was not read against;")
    endif()
  endif()
  if(NOT MOVRA_TRANSPORT_TIERS STREQUAL "")
    set(MOVRA_PAHO_TRANSPORT ON)
  endif()
endif()

if(MOVRA_PAHO_TRANSPORT)
  set(paho_linked "${PAHO_MQTT_ARCHIVE}")
else()
  set(paho_linked "${PAHO_MQTT_LIBRARY}")
endif()
movra_paho_version_of("${paho_linked}" MOVRA_PAHO_VERSION)
if(MOVRA_PAHO_VERSION VERSION_LESS 1.3.11)
  message(FATAL_ERROR "Paho MQTT C ${MOVRA_PAHO_VERSION} is older than 1.3.11, the oldest release the "
                      "client's library workarounds (client/paho_quirks/) were measured on")
endif()

# The one line that says how Paho is linked; tests/native/transport_tiers_test.cpp fails the tests
# when a tier is off on a release that has it.
if(MOVRA_PAHO_TRANSPORT)
  list(JOIN MOVRA_TRANSPORT_TIERS ", " tiers)
  set(transport_line "${tiers} on; Paho ${MOVRA_PAHO_VERSION} (${PAHO_MQTT_ARCHIVE})")
elseif(MOVRA_TRANSPORT)
  set(transport_line "off; Paho ${MOVRA_PAHO_VERSION}, stock library ${PAHO_MQTT_LIBRARY}")
else()
  set(transport_line "off (MOVRA_TRANSPORT=OFF); Paho ${MOVRA_PAHO_VERSION}, stock library")
endif()
if(NOT transport_problem STREQUAL "")
  string(APPEND transport_line " -${transport_problem}")
endif()
message(NOTICE "movra transport layer: ${transport_line}")

add_library(movra::paho INTERFACE IMPORTED)
if(MOVRA_PAHO_TRANSPORT)
  # Built by client/paho_quirks/CMakeLists.txt.
  target_link_libraries(movra::paho INTERFACE movra_paho_transport)
else()
  target_link_libraries(movra::paho INTERFACE movra::paho_stock)
endif()

pkg_check_modules(CJOSE REQUIRED IMPORTED_TARGET cjose)
add_library(movra::cjose ALIAS PkgConfig::CJOSE)
