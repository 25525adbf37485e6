// The network benchmark's client through the C API: a C host paying the benchmarks' card payment
// back to back, as the C++ host of net_client.cpp does, and printing its figures the same way
// ("ms ...", "cpu_us", "switches"). The orchestrator (korvani_net_bench) starts it.
//
//   korvani_net_bench_c --relay-port N --ca-file PEM --back-to-back N
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#ifdef KORVANI_BENCH_CALLGRIND
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include "card_payment_c.h"
#include "korvani/korvani.h"

static void fail(const char* what) {
  fprintf(stderr, "net bench C client: %s\n", what);
  exit(1);
}

static void must(korvani_status status, const char* what) {
  if (status != KORVANI_OK) fail(what);
}

static double now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec * 1e3 + (double)now.tv_nsec / 1e6;
}

// The host's navigation handler reduced to what the benchmark reads: how many reports came, and
// when the last one did.
typedef struct report_clock {
  long reports;
  double last_report_ms;
} report_clock;

static int no_work(void* user_data) {
  (void)user_data;
  return 0;
}

static int finished(void* user_data, const char* status, const char* detail, const char* receipt) {
  report_clock* clock = user_data;
  (void)detail;
  (void)receipt;
  if (strcmp(status, "approved") != 0) fail("a payment was not approved");
  clock->last_report_ms = now_ms();
  ++clock->reports;
  return 0;
}

static int finished_remote(void* user_data, int remote_status, const char* detail,
                           const char* receipt) {
  (void)user_data;
  (void)remote_status;
  (void)detail;
  (void)receipt;
  fail("a payment ended without a payment result");
  return 0;
}

// A host's own reachability service: a status it keeps up to date by itself, read for free.
static int reachable(void* user_data, int* status) {
  (void)user_data;
  *status = KORVANI_REACHABLE_VIA_WIFI;
  return 0;
}

// What the drain's condition watches: a report after `before` of them.
typedef struct report_wait {
  const report_clock* clock;
  long before;
} report_wait;

static int reported(void* context) {
  const report_wait* wait = context;
  return wait->clock->reports != wait->before;
}

// One payment, the host's thread draining until its report; milliseconds to the report.
static double pay(korvani_component_t* component, const report_clock* clock) {
  report_wait wait;
  int met = 0;
  const double start = now_ms();
  wait.clock = clock;
  wait.before = clock->reports;
  must(korvani_component_render_did_finish(component, NULL), "render_did_finish failed");
  must(korvani_run_for(60000, reported, &wait, &met, NULL), "run_for failed");
  if (!met) fail("no report within a minute");
  return clock->last_report_ms - start;
}

typedef struct usage {
  double cpu_us;
  long voluntary;
  long involuntary;
} usage;

static usage usage_now(void) {
  struct rusage now;
  usage result;
  getrusage(RUSAGE_SELF, &now);
  result.cpu_us = (double)now.ru_utime.tv_sec * 1e6 + (double)now.ru_utime.tv_usec +
                  (double)now.ru_stime.tv_sec * 1e6 + (double)now.ru_stime.tv_usec;
  result.voluntary = now.ru_nvcsw;
  result.involuntary = now.ru_nivcsw;
  return result;
}

int main(int argc, char** argv) {
  const char* relay_port = NULL;
  const char* ca_file = NULL;
  long payments = 0;
  char base_url[64];
  korvani_configuration_t* configuration;
  korvani_component_t* component = NULL;
  korvani_reachability reachability;
  korvani_store_callbacks store;
  korvani_navigation_handler handler;
  report_clock clock = {0, 0};
  usage before;
  usage after;
  double* ms;
  long i;
  for (i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--relay-port") == 0) relay_port = argv[i + 1];
    if (strcmp(argv[i], "--ca-file") == 0) ca_file = argv[i + 1];
    if (strcmp(argv[i], "--back-to-back") == 0) payments = strtol(argv[i + 1], NULL, 10);
  }
  if (!relay_port || !ca_file || payments <= 0) {
    fail("usage: korvani_net_bench_c --relay-port N --ca-file PEM --back-to-back N");
  }
  ms = calloc((size_t)payments, sizeof *ms);
  if (!ms) fail("out of memory");
  snprintf(base_url, sizeof base_url, "https://127.0.0.1:%s", relay_port);

  must(korvani_session_add_trusted_certificates_file(ca_file, NULL), "cannot read the CA file");
  memset(&reachability, 0, sizeof reachability);
  reachability.struct_size = sizeof reachability;
  reachability.current_status = reachable;
  must(korvani_set_reachability(&reachability, NULL), "set_reachability failed");
  configuration = korvani_bench_configuration(base_url);
  if (!configuration) fail("the configuration was refused");
  must(korvani_component_new(configuration, &component, NULL), "component_new failed");
  store = korvani_bench_store();
  must(korvani_component_set_store(component, &store, NULL), "set_store failed");
  memset(&handler, 0, sizeof handler);
  handler.struct_size = sizeof handler;
  handler.user_data = &clock;
  handler.begin_plugin_work = no_work;
  handler.end_plugin_work = no_work;
  handler.did_finish_payment = finished;
  handler.did_finish_remote_payment = finished_remote;
  must(korvani_component_set_navigation_handler(component, &handler, NULL),
       "set_navigation_handler failed");

  pay(component, &clock);  // the warming payment
  before = usage_now();
  CALLGRIND_START_INSTRUMENTATION;  // under callgrind (--instr-atstart=no): these payments only
  for (i = 0; i < payments; ++i)
    ms[i] = pay(component, &clock);
  CALLGRIND_STOP_INSTRUMENTATION;
  after = usage_now();

  printf("ms");
  for (i = 0; i < payments; ++i)
    printf(" %.3f", ms[i]);
  printf("\ncpu_us %.1f\n", (after.cpu_us - before.cpu_us) / (double)payments);
  printf("switches %.2f %.2f\n", (double)(after.voluntary - before.voluntary) / (double)payments,
         (double)(after.involuntary - before.involuntary) / (double)payments);
  free(ms);
  korvani_component_release(component);
  korvani_configuration_release(configuration);
  must(korvani_shutdown(5000, NULL), "shutdown failed");
  return 0;
}
