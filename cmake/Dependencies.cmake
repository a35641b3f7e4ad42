# System libraries the client stands on: Paho MQTT C (synchronous client) and cjose.
find_package(PkgConfig REQUIRED)

find_path(PAHO_MQTT_INCLUDE_DIR MQTTClient.h REQUIRED)
find_library(PAHO_MQTT3C_LIBRARY paho-mqtt3c REQUIRED)
add_library(movra::paho INTERFACE IMPORTED)
target_include_directories(movra::paho INTERFACE "${PAHO_MQTT_INCLUDE_DIR}")
target_link_libraries(movra::paho INTERFACE "${PAHO_MQTT3C_LIBRARY}")

pkg_check_modules(CJOSE REQUIRED IMPORTED_TARGET cjose)
add_library(movra::cjose ALIAS PkgConfig::CJOSE)

find_package(Threads REQUIRED)
