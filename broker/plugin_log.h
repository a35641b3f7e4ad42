/* The plugin's log lines: each goes through the broker's log, prefixed with the plugin's name. */
#ifndef MOVRA_BROKER_PLUGIN_LOG_H
#define MOVRA_BROKER_PLUGIN_LOG_H

#include "mosquitto_headers.h"

#define PLUGIN_NAME "movra_jwe_auth"
#define plugin_log(level, ...) mosquitto_log_printf((level), PLUGIN_NAME ": " __VA_ARGS__)

#endif
