/* The native reference client of the benchmark: Paho MQTT C's synchronous client called directly.
 *
 *   paho_c_client MODE tcp://HOST:PORT [key=value ...]
 *
 * Modes (one JSON object on standard output):
 *   publish    qos= size= seconds=   publishes for `seconds`, each publish complete before the next
 *   flood      count= sessions=a,b   makes kept sessions for the named client ids (QoS 1
 *              qos=                  subscription), then publishes `count` numbered messages
 *   receive    id= count=            connects to a kept session and counts the messages reaching
 *                                    the message callback until `count` distinct ones or an idle gap,
 *                                    timed from the first arrival to the last;
 *              live=1 qos=           instead subscribes on a clean session and prints "ready"
 *   roundtrip  count=                publishes to its own subscription and times the callback
 *   connects   seconds=              connect + disconnect, repeated
 *   recovery                         prints "ready", then reports when it is connected again after
 *                                    a loss, retrying a second after each failure like the module's default
 *   memory     count= mark=          subscribed to its own topic, publishes `count` QoS 0 messages
 *                                    and waits for them; resident size after `mark` and at the end
 *
 * Threads: the library's receive thread runs the callbacks; they record into `state` under its
 * mutex and signal the main thread through the condition variable. The publish wait ends on the
 * delivery-complete callback, as the module's does.
 */
#define _GNU_SOURCE
#include <MQTTClient.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "bench_native.h"

#define TOPIC_DEFAULT "bench/c"
#define MEMORY_MARK 10000

static struct {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    MQTTClient_deliveryToken delivered; /* last completed token */
    long received;                      /* messages that reached the callback */
    long distinct;                      /* distinct sequence numbers (receive mode) */
    unsigned char* seen;                /* one byte per expected sequence number */
    long expected;
    double lastArrival;
    double firstArrival;
    int lost;        /* connection lost and not yet back */
    double* samples; /* roundtrip: arrival times */
    long target;     /* the main thread is woken when the count reaches it */
} state = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0, 0, NULL, 0, 0, 0, 0, NULL, 0};

static long optionLong(int argc, char** argv, const char* key, long fallback) {
    const char* v = option(argc, argv, key, NULL);
    return v ? strtol(v, NULL, 10) : fallback;
}

static double optionDouble(int argc, char** argv, const char* key, double fallback) {
    const char* v = option(argc, argv, key, NULL);
    return v ? strtod(v, NULL) : fallback;
}

static long rssBytes(void) {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return -1;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    fclose(f);
    return resident * sysconf(_SC_PAGESIZE);
}

static void die(const char* what, int rc) {
    fprintf(stderr, "paho_c_client: %s failed, rc=%d\n", what, rc);
    exit(2);
}

/* ---- callbacks (library receive thread) ---- */

static int onMessage(void* context, char* topic, int topicLen, MQTTClient_message* m) {
    (void)context;
    (void)topicLen;
    double t = now();
    pthread_mutex_lock(&state.mutex);
    if (state.received == 0) state.firstArrival = t;
    state.lastArrival = t;
    if (state.seen != NULL && m->payloadlen > 0) {
        long seq = strtol((const char*)m->payload, NULL, 10);
        if (seq >= 0 && seq < state.expected && !state.seen[seq]) {
            state.seen[seq] = 1;
            ++state.distinct;
        }
    }
    if (state.samples != NULL) state.samples[state.received] = t;
    ++state.received;
    /* Like the Python clients' handlers, wake the waiting thread only when it has something to do. */
    if (state.samples != NULL || (state.seen ? state.distinct : state.received) == state.target)
        pthread_cond_signal(&state.cond);
    pthread_mutex_unlock(&state.mutex);
    MQTTClient_freeMessage(&m);
    MQTTClient_free(topic);
    return 1;
}

static void onDelivered(void* context, MQTTClient_deliveryToken token) {
    (void)context;
    pthread_mutex_lock(&state.mutex);
    state.delivered = token;
    pthread_cond_signal(&state.cond);
    pthread_mutex_unlock(&state.mutex);
}

static void onLost(void* context, char* cause) {
    (void)context;
    (void)cause;
    pthread_mutex_lock(&state.mutex);
    state.lost = 1;
    pthread_cond_signal(&state.cond);
    pthread_mutex_unlock(&state.mutex);
}

/* ---- client helpers ---- */

static MQTTClient makeClient(const char* uri, const char* id) {
    MQTTClient client;
    int rc = MQTTClient_create(&client, uri, id, MQTTCLIENT_PERSISTENCE_NONE, NULL);
    if (rc != MQTTCLIENT_SUCCESS) die("MQTTClient_create", rc);
    MQTTClient_setCallbacks(client, NULL, onLost, onMessage, onDelivered);
    return client;
}

static int connectClient(MQTTClient client, int cleanSession) {
    MQTTClient_connectOptions opts = MQTTClient_connectOptions_initializer;
    opts.keepAliveInterval = 30;
    opts.cleansession = cleanSession;
    return MQTTClient_connect(client, &opts);
}

static void connectOrDie(MQTTClient client, int cleanSession) {
    int rc = connectClient(client, cleanSession);
    if (rc != MQTTCLIENT_SUCCESS) die("MQTTClient_connect", rc);
}

static void subscribe(MQTTClient client, const char* topic, int qos) {
    int rc = MQTTClient_subscribe(client, topic, qos);
    if (rc != MQTTCLIENT_SUCCESS) die("MQTTClient_subscribe", rc);
}

/* Publishes one message and, for QoS 1 and 2, waits for its delivery-complete callback. */
static void publishWait(MQTTClient client, const char* topic, char* payload, int len, int qos) {
    MQTTClient_message m = MQTTClient_message_initializer;
    MQTTClient_deliveryToken token = 0;
    m.payload = payload;
    m.payloadlen = len;
    m.qos = qos;
    int rc = MQTTClient_publishMessage(client, topic, &m, &token);
    if (rc != MQTTCLIENT_SUCCESS) die("MQTTClient_publishMessage", rc);
    if (qos == 0) return;
    pthread_mutex_lock(&state.mutex);
    while (state.delivered != token) pthread_cond_wait(&state.cond, &state.mutex);
    pthread_mutex_unlock(&state.mutex);
}

/* Waits until `received` reaches `target` or nothing arrives for `idle` seconds (ten times that
 * before the first message). */
static void waitReceived(long target, double idle) {
    double begin = now();
    pthread_mutex_lock(&state.mutex);
    state.target = target;
    for (;;) {
        long count = state.seen ? state.distinct : state.received;
        if (count >= target) break;
        double last = state.received ? state.lastArrival : now();
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 50 * 1000 * 1000;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        pthread_cond_timedwait(&state.cond, &state.mutex, &until);
        if (state.received && now() - state.lastArrival > idle && last == state.lastArrival) break;
        if (!state.received && now() - begin > 10 * idle) break;
    }
    pthread_mutex_unlock(&state.mutex);
}

/* A connected client subscribed (QoS 0) to the topic it will publish to. */
static MQTTClient selfSubscribed(const char* uri, const char* id, const char* topic) {
    MQTTClient client = makeClient(uri, id);
    connectOrDie(client, 1);
    subscribe(client, topic, 0);
    return client;
}

static void fillPayload(char* buf, int len, long seq) {
    memset(buf, 'x', (size_t)len);
    char head[24];
    int n = snprintf(head, sizeof head, "%ld ", seq);
    memcpy(buf, head, (size_t)(n < len ? n : len));
}

static void finish(MQTTClient* client) {
    MQTTClient_disconnect(*client, 10000);
    MQTTClient_destroy(client);
}

/* ---- modes ---- */

static int runPublish(const char* uri, int argc, char** argv) {
    int qos = (int)optionLong(argc, argv, "qos", 0);
    int size = (int)optionLong(argc, argv, "size", 100);
    double seconds = optionDouble(argc, argv, "seconds", 1.0);
    const char* topic = option(argc, argv, "topic", TOPIC_DEFAULT);
    MQTTClient client = makeClient(uri, "bench-c-pub");
    connectOrDie(client, 1);
    char* payload = malloc((size_t)size);
    fillPayload(payload, size, 0);
    long count = 0;
    double cpu = cpuSeconds();
    double start = now(), elapsed = 0;
    do {
        publishWait(client, topic, payload, size, qos);
        ++count;
        if ((count & 15) == 0 || size > 4096) elapsed = now() - start;
    } while (elapsed < seconds);
    elapsed = now() - start;
    cpu = cpuSeconds() - cpu;
    finish(&client);
    free(payload);
    printf(
        "{\"count\": %ld, \"seconds\": %.6f, \"rate\": %.1f, \"mbps\": %.3f, "
        "\"cpu_us_per_msg\": %.3f}\n",
        count, elapsed, count / elapsed, (double)count * size / elapsed / 1e6, cpu / count * 1e6);
    return 0;
}

static int runFlood(const char* uri, int argc, char** argv) {
    long count = optionLong(argc, argv, "count", 10000);
    const char* topic = option(argc, argv, "topic", TOPIC_DEFAULT);
    char* sessions = strdup(option(argc, argv, "sessions", ""));
    char* rest = NULL;
    for (char* id = strtok_r(sessions, ",", &rest); id != NULL; id = strtok_r(NULL, ",", &rest)) {
        MQTTClient s = makeClient(uri, id);
        connectOrDie(s, 0);
        subscribe(s, topic, 1);
        finish(&s);
    }
    free(sessions);
    int qos = (int)optionLong(argc, argv, "qos", 1);
    MQTTClient client = makeClient(uri, "bench-c-flood");
    connectOrDie(client, 1);
    char payload[100];
    double start = now();
    for (long i = 0; i < count; ++i) {
        fillPayload(payload, sizeof payload, i);
        publishWait(client, topic, payload, sizeof payload, qos);
    }
    double elapsed = now() - start;
    finish(&client);
    printf("{\"count\": %ld, \"seconds\": %.6f}\n", count, elapsed);
    return 0;
}

static int runReceive(const char* uri, int argc, char** argv) {
    long count = optionLong(argc, argv, "count", 10000);
    const char* id = option(argc, argv, "id", "bench-c-recv");
    state.expected = count;
    state.seen = calloc((size_t)count, 1);
    int live = (int)optionLong(argc, argv, "live", 0);
    MQTTClient client = makeClient(uri, id);
    double cpu = cpuSeconds();
    connectOrDie(client, live);
    if (live) {
        /* Subscribed on a clean session; the flood starts once "ready" is read. */
        subscribe(client, option(argc, argv, "topic", TOPIC_DEFAULT),
                  (int)optionLong(argc, argv, "qos", 0));
        printf("ready\n");
        fflush(stdout);
    }
    waitReceived(count, 1.0);
    cpu = cpuSeconds() - cpu;
    pthread_mutex_lock(&state.mutex);
    long got = state.distinct, calls = state.received;
    double elapsed = state.lastArrival - state.firstArrival;
    pthread_mutex_unlock(&state.mutex);
    finish(&client);
    printf(
        "{\"count\": %ld, \"received\": %ld, \"calls\": %ld, \"lost\": %ld, \"seconds\": %.6f, "
        "\"rate\": %.1f, \"cpu_us_per_msg\": %.3f}\n",
        count, got, calls, count - got, elapsed, elapsed > 0 ? got / elapsed : 0.0,
        cpu / (got > 0 ? got : 1) * 1e6);
    free(state.seen);
    return 0;
}

static int compareDouble(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static int runRoundtrip(const char* uri, int argc, char** argv) {
    long count = optionLong(argc, argv, "count", 1000);
    const char* topic = option(argc, argv, "topic", "bench/c/rt");
    long warmup = count / 10;
    long total = count + warmup;
    state.samples = calloc((size_t)total, sizeof(double));
    double* latency = calloc((size_t)count, sizeof(double));
    MQTTClient client = selfSubscribed(uri, "bench-c-rt", topic);
    char payload[100];
    fillPayload(payload, sizeof payload, 0);
    for (long i = 0; i < total; ++i) {
        double sent = now();
        publishWait(client, topic, payload, sizeof payload, 0);
        pthread_mutex_lock(&state.mutex);
        while (state.received <= i) pthread_cond_wait(&state.cond, &state.mutex);
        double arrived = state.samples[i];
        pthread_mutex_unlock(&state.mutex);
        if (i >= warmup) latency[i - warmup] = arrived - sent;
    }
    finish(&client);
    qsort(latency, (size_t)count, sizeof(double), compareDouble);
    printf("{\"count\": %ld, \"p50_us\": %.1f, \"p99_us\": %.1f}\n", count,
           latency[count / 2] * 1e6, latency[(count * 99) / 100] * 1e6);
    free(latency);
    free(state.samples);
    state.samples = NULL;
    return 0;
}

static int runConnects(const char* uri, int argc, char** argv) {
    double seconds = optionDouble(argc, argv, "seconds", 1.0);
    MQTTClient client = makeClient(uri, "bench-c-conn");
    long count = 0;
    double start = now();
    do {
        connectOrDie(client, 1);
        MQTTClient_disconnect(client, 10000);
        ++count;
    } while (now() - start < seconds);
    double elapsed = now() - start;
    MQTTClient_destroy(&client);
    printf("{\"count\": %ld, \"seconds\": %.6f, \"rate\": %.2f}\n", count, elapsed,
           count / elapsed);
    return 0;
}

static int runRecovery(const char* uri) {
    MQTTClient client = makeClient(uri, "bench-c-recovery");
    connectOrDie(client, 1);
    printf("ready\n");
    fflush(stdout);
    pthread_mutex_lock(&state.mutex);
    while (!state.lost) pthread_cond_wait(&state.cond, &state.mutex);
    pthread_mutex_unlock(&state.mutex);
    /* Retries after a 100 ms pause, then one second after each failed attempt: the module's worker
     * with a 1 s ceiling. */
    int attempts = 0;
    double connectedAt = 0;
    usleep(100000);
    for (;;) {
        ++attempts;
        if (connectClient(client, 1) == MQTTCLIENT_SUCCESS) {
            connectedAt = now();
            break;
        }
        sleep(1);
    }
    finish(&client);
    printf("{\"reconnected_at\": %.6f, \"attempts\": %d}\n", connectedAt, attempts);
    return 0;
}

static int runMemory(const char* uri, int argc, char** argv) {
    long count = optionLong(argc, argv, "count", 1000000);
    const char* topic = option(argc, argv, "topic", "bench/c/mem");
    MQTTClient client = selfSubscribed(uri, "bench-c-mem", topic);
    char payload[100];
    fillPayload(payload, sizeof payload, 0);
    long mark = optionLong(argc, argv, "mark", MEMORY_MARK);
    if (mark > count) mark = count;
    for (long i = 0; i < mark; ++i) publishWait(client, topic, payload, sizeof payload, 0);
    waitReceived(mark, 5.0);
    long rssMark = rssBytes();
    for (long i = mark; i < count; ++i) publishWait(client, topic, payload, sizeof payload, 0);
    waitReceived(count, 5.0);
    long rssEnd = rssBytes();
    pthread_mutex_lock(&state.mutex);
    long received = state.received;
    pthread_mutex_unlock(&state.mutex);
    finish(&client);
    printf(
        "{\"count\": %ld, \"received\": %ld, \"mark\": %ld, \"rss_mark\": %ld, \"rss_end\": %ld}\n",
        count, received, mark, rssMark, rssEnd);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s MODE tcp://HOST:PORT [key=value ...]\n", argv[0]);
        return 2;
    }
    const char* mode = argv[1];
    const char* uri = argv[2];
    if (strcmp(mode, "publish") == 0) return runPublish(uri, argc, argv);
    if (strcmp(mode, "flood") == 0) return runFlood(uri, argc, argv);
    if (strcmp(mode, "receive") == 0) return runReceive(uri, argc, argv);
    if (strcmp(mode, "roundtrip") == 0) return runRoundtrip(uri, argc, argv);
    if (strcmp(mode, "connects") == 0) return runConnects(uri, argc, argv);
    if (strcmp(mode, "recovery") == 0) return runRecovery(uri);
    if (strcmp(mode, "memory") == 0) return runMemory(uri, argc, argv);
    fprintf(stderr, "paho_c_client: unknown mode %s\n", mode);
    return 2;
}
