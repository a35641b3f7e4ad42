/* The broker's headers for plugins: mosquitto 2.1 declares everything in <mosquitto.h> and warns
 * about the older headers; 2.0 needs <mosquitto_broker.h> and <mosquitto_plugin.h> beside it. */
#ifndef MOVRA_BROKER_MOSQUITTO_HEADERS_H
#define MOVRA_BROKER_MOSQUITTO_HEADERS_H

#include <mosquitto.h>
#if !__has_include(<mosquitto/broker.h>)
#include <mosquitto_broker.h>
#include <mosquitto_plugin.h>
#endif

#endif
