# System libraries the client stands on: Paho MQTT C (synchronous client) and cjose.
find_package(PkgConfig REQUIRED)

# Paho's synchronous client with TLS (paho-mqtt3cs): tcp://, ws://, ssl://, mqtts:// and wss://.
# OpenSSL 3 is required: its security level 1, which Paho sets on every TLS context, refuses TLS 1.0
# and 1.1. The one place that chooses how the client links Paho: movra::paho.
find_package(OpenSSL 3.0 REQUIRED)
find_path(PAHO_MQTT_INCLUDE_DIR MQTTClient.h REQUIRED)
find_library(PAHO_MQTT_LIBRARY paho-mqtt3cs REQUIRED)
add_library(movra::paho INTERFACE IMPORTED)
target_include_directories(movra::paho INTERFACE "${PAHO_MQTT_INCLUDE_DIR}")
target_link_libraries(movra::paho INTERFACE "${PAHO_MQTT_LIBRARY}" OpenSSL::SSL OpenSSL::Crypto)

pkg_check_modules(CJOSE REQUIRED IMPORTED_TARGET cjose)
add_library(movra::cjose ALIAS PkgConfig::CJOSE)

find_package(Threads REQUIRED)

# The Paho MQTT C version, as the library itself reports it (MQTTClient_getVersionInfo). The
# workarounds in client/paho_quirks/ were measured on Debian 12's package 1.3.12-1, whose library reports
# 1.3.11 (upstream did not bump the number in that release); a library older than that may behave
# differently, so configure stops.
if(NOT MOVRA_PAHO_VERSION)
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
    LINK_LIBRARIES "${PAHO_MQTT_LIBRARY}"
    COMPILE_OUTPUT_VARIABLE paho_compile_output
    RUN_OUTPUT_VARIABLE paho_version)
  if(NOT paho_compiled OR NOT paho_run EQUAL 0 OR NOT paho_version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+")
    message(FATAL_ERROR "Paho MQTT C: could not read the library's version (${PAHO_MQTT_LIBRARY})")
  endif()
  set(MOVRA_PAHO_VERSION "${paho_version}" CACHE INTERNAL "Version the Paho MQTT C library reports")
endif()
message(STATUS "Paho MQTT C: ${MOVRA_PAHO_VERSION} (${PAHO_MQTT_LIBRARY})")
if(MOVRA_PAHO_VERSION VERSION_LESS 1.3.11)
  message(FATAL_ERROR "Paho MQTT C ${MOVRA_PAHO_VERSION} is older than 1.3.11, the oldest release the "
                      "client's library workarounds (client/paho_quirks/) were measured on")
endif()
