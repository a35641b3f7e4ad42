/* Stand-ins for the broker API the plugin calls (broker_stubs.c). */
#ifndef MOVRA_FUZZ_BROKER_STUBS_H
#define MOVRA_FUZZ_BROKER_STUBS_H

#include <mosquitto.h>
#include <mosquitto_broker.h>
#include <mosquitto_plugin.h>

extern MOSQ_FUNC_generic_callback stub_basic_auth;
extern MOSQ_FUNC_generic_callback stub_reload;
extern void* stub_userdata;
extern const char* stub_address;

#endif
