// The settling pause after a connection loss: the time given to Paho MQTT C's receive thread for a
// step that no library call reveals. It names the library code path it waits for
// (src/MQTTClient.c of eclipse/paho.mqtt.c, line numbers of tag v1.3.12) and the version it was
// measured on (Debian 12's package 1.3.12-1, whose library reports 1.3.11). Configure checks the
// library's version (cmake/Dependencies.cmake). The message handover's pauses, where the library
// gives no better answer, are in handover.h.
//
// Threading contract: constants only.
#pragma once

#include <chrono>

namespace movra::paho {

// After a loss, the receive thread of the lost session ends only once the connection-lost callback
// has returned: MQTTClient_run (line 864) calls MQTTClient_disconnect_internal -> MQTTClient_disconnect1,
// which sets tostop (MQTTClient_stop, line 1025) and then runs the callback on a thread of its own
// (connectionLost_call, line 707) and waits for it up to 5 s (line 1961); only then does
// MQTTClient_run leave its loop and clear `running` (line 1015). A connect in that window finds
// `running` still set and starts no receive thread (MQTTClient_connectURIVersion,
// `if (m->ma && !running)`, line 1212): nobody reads its CONNACK and the client is left unable to
// complete a connect. The reconnect worker waits this long after a loss before its first attempt.
// How wide that window is: mqttclient_mutex is held from the loss to the clearing of `running`,
// except between the unlock at the end of MQTTClient_cycle (line 2650) and the re-lock in
// MQTTClient_run (line 844), which a loss found inside the cycle (a keep-alive or retry failure,
// MQTTProtocolClient.c) crosses; a worker already waiting for the mutex would have to win it there.
// Measured with the pause at 0 (this library, 2 cores): tests/python/test_reconnect_network.py
// test_sessions_lost_right_after_their_connect_are_reported_in_order_and_recovered and
// test_reconnect_broker.py test_broker_killed_ten_times_while_publishing_and_receiving passed 3
// runs of 3, and Reconnect.EveryAttemptRightAfterAKeepAliveLossSucceeds (tests/native, the
// keep-alive path) 2 of 2: no test is known to fail without it. It is kept as cheap insurance
// (100 ms per loss) for that window and for library versions that leave it wider.
inline constexpr std::chrono::milliseconds kReconnectSettle{100};

}  // namespace movra::paho
