# System libraries the client stands on: Paho MQTT C (synchronous client) and cjose.
find_package(PkgConfig REQUIRED)

# Paho's synchronous client with TLS (paho-mqtt3cs): tcp://, ws://, ssl://, mqtts:// and wss://.
# Its CMake package names OpenSSL's targets without looking for OpenSSL itself. OpenSSL 3 is
# required: its security level 1, which Paho sets on every TLS context, refuses TLS 1.0 and 1.1.
# The one place that chooses how the client links Paho: movra::paho.
find_package(OpenSSL 3.0 REQUIRED)
find_package(eclipse-paho-mqtt-c CONFIG REQUIRED)
add_library(movra::paho INTERFACE IMPORTED)
target_link_libraries(movra::paho INTERFACE eclipse-paho-mqtt-c::paho-mqtt3cs)

pkg_check_modules(CJOSE REQUIRED IMPORTED_TARGET cjose)
add_library(movra::cjose ALIAS PkgConfig::CJOSE)

find_package(Threads REQUIRED)
