// A C host, compiled as C99, paying through libkorvani_c against the korvani-sandbox program:
// approved, rejected, offline, untrusted certificate; then the header's contracts: error
// records, struct sizes, user data freed exactly once, host failures reported, and shutdown
// with one payment in flight and one answer queued. Usage: korvani_capi_c_test SANDBOX_PROGRAM
#define _POSIX_C_SOURCE 200809L

#include <poll.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "c_host_support.h"
#include "korvani/korvani.h"

static int passed;
static int failed;

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (condition) {                                                                \
      ++passed;                                                                     \
    } else {                                                                        \
      ++failed;                                                                     \
      fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #condition); \
    }                                                                               \
  } while (0)

// A call that must succeed; prints the error record when it does not.
#define CHECK_OK(call)                                                   \
  do {                                                                   \
    korvani_error check_error_ = KORVANI_ERROR_INIT;                     \
    korvani_status check_status_ = (call);                               \
    if (check_status_ != KORVANI_OK) {                                   \
      ++failed;                                                          \
      fprintf(stderr, "%s:%d: %s: %s: %s\n", __FILE__, __LINE__, #call,  \
              korvani_status_name(check_status_), check_error_.message); \
    } else {                                                             \
      ++passed;                                                          \
    }                                                                    \
    (void)check_error_;                                                  \
  } while (0)

static pthread_t host_thread;
static int callbacks_off_thread;  // host callbacks that ran on another thread than the host's

static void on_host_thread(void) {
  if (!pthread_equal(pthread_self(), host_thread)) ++callbacks_off_thread;
}

// ---------------------------------------------------------------------------------------------
// The host's objects. Every user data counts its frees.

typedef struct handler_log {
  int frees;
  int begins;
  int ends;
  int reports;        // both kinds
  int remote_status;  // of a report without payment, else -1
  int ended_first;    // end_plugin_work came before the report
  char status[64];
  char detail[64];
  char receipt[32];
} handler_log;

static int begin_work(void* user_data) {
  on_host_thread();
  ++((handler_log*)user_data)->begins;
  return 0;
}

static int end_work(void* user_data) {
  handler_log* log = user_data;
  on_host_thread();
  ++log->ends;
  return 0;
}

static int finished(void* user_data, const char* status, const char* detail, const char* receipt) {
  handler_log* log = user_data;
  on_host_thread();
  log->ended_first = log->ends == log->reports + 1;
  ++log->reports;
  log->remote_status = -1;
  snprintf(log->status, sizeof log->status, "%s", status);
  snprintf(log->detail, sizeof log->detail, "%s", detail);
  snprintf(log->receipt, sizeof log->receipt, "%s", receipt ? receipt : "(none)");
  return 0;
}

static int finished_remote(void* user_data, int remote_status, const char* detail,
                           const char* receipt) {
  handler_log* log = user_data;
  on_host_thread();
  log->ended_first = log->ends == log->reports + 1;
  ++log->reports;
  log->remote_status = remote_status;
  snprintf(log->detail, sizeof log->detail, "%s", detail);
  snprintf(log->receipt, sizeof log->receipt, "%s", receipt ? receipt : "(none)");
  return 0;
}

// Every user data below begins with its count of frees.
static void free_counted(void* user_data) {
  ++*(int*)user_data;
}

static korvani_navigation_handler handler_table(handler_log* log) {
  const korvani_navigation_handler table = {sizeof table, log,      free_counted,   begin_work,
                                            end_work,     finished, finished_remote};
  memset(log, 0, sizeof *log);
  return table;
}

typedef struct store_state {
  int frees;
  const char* method;
  const char* token;      // the card token, which selects the sandbox's scenario; NULL: none
  const char* auth_code;  // answered for "auth_code"
  int get_data_calls;
} store_state;

static int current_payment_data(void* user_data, korvani_payment_data_t* data) {
  store_state* store = user_data;
  on_host_thread();
  korvani_payment_data_set_text(data, KORVANI_PAYMENT_METHOD_ID, store->method, NULL);
  if (store->token) {
    korvani_payment_data_set_text(data, KORVANI_PAYMENT_TYPE_ID, "credit_card", NULL);
    korvani_payment_data_set_text(data, KORVANI_ISSUER_ID, "310", NULL);
    korvani_payment_data_set_text(data, KORVANI_TOKEN_ID, store->token, NULL);
    korvani_payment_data_set_installments(data, 3, NULL);
  }
  return 0;
}

static int get_data(void* user_data, const char* key, korvani_text_answer_t* answer) {
  store_state* store = user_data;
  on_host_thread();
  ++store->get_data_calls;
  if (strcmp(key, "auth_code") == 0) korvani_text_answer_set(answer, store->auth_code, NULL);
  return 0;
}

static korvani_store_callbacks store_table(store_state* store, const char* method,
                                           const char* token) {
  const korvani_store_callbacks table = {sizeof table, store, free_counted, current_payment_data,
                                         get_data};
  memset(store, 0, sizeof *store);
  store->method = method;
  store->token = token;
  store->auth_code = "{\"code\": \"482913\", \"validated\": true}";
  return table;
}

typedef struct track_log {
  int frees;
  int events;
  char result[16];
  char extra[4096];
} track_log;

static int track_event(void* user_data, const char* screen, const char* action, const char* result,
                       const char* extra) {
  track_log* log = user_data;
  on_host_thread();
  ++log->events;
  CHECK(strcmp(screen, "/myzr/account_balance") == 0);
  CHECK(strcmp(action, "post_payment") == 0);
  snprintf(log->result, sizeof log->result, "%s", result ? result : "(none)");
  snprintf(log->extra, sizeof log->extra, "%s", extra ? extra : "(none)");
  return 0;
}

typedef struct reachability_state {
  int frees;
  int status;
} reachability_state;

static int current_status(void* user_data, int* status) {
  on_host_thread();
  *status = ((reachability_state*)user_data)->status;
  return 0;
}

// The idempotency hook: a distinct text per payment, or a failure when `fail` is set.
typedef struct hook_state {
  int frees;
  int calls;
  int fail;
} hook_state;

static int digest(void* user_data, const char* text, korvani_text_answer_t* answer) {
  static int digests;  // across hooks: a key seen by the platform is never made again
  hook_state* hook = user_data;
  char unique[64];
  on_host_thread();
  (void)text;
  ++hook->calls;
  if (hook->fail) return hook->fail;
  snprintf(unique, sizeof unique, "c-host-%ld-%d", (long)getpid(), ++digests);
  return korvani_text_answer_set(answer, unique, NULL);
}

static korvani_sha256_hook hook_table(hook_state* hook) {
  const korvani_sha256_hook table = {sizeof table, hook, free_counted, digest};
  memset(hook, 0, sizeof *hook);
  return table;
}

typedef struct failure_log {
  int frees;
  int failures;
  int64_t code;
  char message[KORVANI_ERROR_MESSAGE_SIZE];
} failure_log;

static void host_failed(void* user_data, const korvani_error* error) {
  failure_log* log = user_data;
  on_host_thread();
  ++log->failures;
  CHECK(error->domain == KORVANI_DOMAIN_HOST);
  log->code = error->code;
  snprintf(log->message, sizeof log->message, "%s", error->message);
}

// The exchange observer keeps the last outcome.
typedef struct exchange_log {
  int frees;
  int exchanges;
  int64_t status_code;
  int32_t domain;
  int64_t code;
  uint32_t send_count;
} exchange_log;

static void exchange_finished(void* user_data, const korvani_exchange* exchange) {
  exchange_log* log = user_data;
  on_host_thread();
  ++log->exchanges;
  log->status_code = exchange->status_code;
  log->domain = exchange->error ? exchange->error->domain : KORVANI_DOMAIN_NONE;
  log->code = exchange->error ? exchange->error->code : 0;
  log->send_count = exchange->send_count;
}

// The scheduler writes a byte into a pipe, from whichever thread queued the work; the host's
// loop is a poll on that pipe.
typedef struct scheduler_state {
  int frees;
  int pipe[2];
} scheduler_state;

static void notify(void* user_data) {
  const char byte = 1;
  if (write(((scheduler_state*)user_data)->pipe[1], &byte, 1) != 1) abort();
}

// Bytes (notifies) waiting in the pipe after up to `timeout_ms`; they are consumed.
static int take_notifies(scheduler_state* scheduler, int timeout_ms) {
  struct pollfd ready;
  char bytes[64];
  int count = 0;
  ready.fd = scheduler->pipe[0];
  ready.events = POLLIN;
  while (poll(&ready, 1, count == 0 ? timeout_ms : 0) == 1) {
    const ssize_t got = read(scheduler->pipe[0], bytes, sizeof bytes);
    if (got <= 0) break;
    count += (int)got;
  }
  return count;
}

static int reported(void* context) {
  return ((handler_log*)context)->reports > 0;
}

// ---------------------------------------------------------------------------------------------
// Paying

static scheduler_state scheduler;
static reachability_state reachability;
static track_log tracked;
static failure_log failures;
static exchange_log exchanges;

typedef enum delivery { BY_SCHEDULER, BY_RUN_FOR } delivery;

// One checkout from start to report: the component gets `store` and a fresh handler, renders,
// and the report is awaited as `how` says. Store and handler are freed with the component.
static void pay(korvani_configuration_t* configuration, korvani_store_callbacks* store,
                handler_log* log, delivery how) {
  korvani_component_t* component = NULL;
  korvani_navigation_handler handler = handler_table(log);
  int* store_frees = store->user_data;
  int waited_ms = 0;
  tracked.events = 0;
  CHECK_OK(korvani_component_new(configuration, &component, &check_error_));
  CHECK_OK(korvani_component_set_store(component, store, &check_error_));
  CHECK_OK(korvani_component_set_navigation_handler(component, &handler, &check_error_));
  CHECK(log->begins == 1);
  CHECK_OK(korvani_component_render_did_finish(component, &check_error_));
  if (how == BY_SCHEDULER) {
    while (log->reports == 0 && waited_ms < 15000) {
      if (take_notifies(&scheduler, 100) > 0) {
        CHECK_OK(korvani_run_pending(NULL, &check_error_));
      }
      waited_ms += 100;
    }
  } else {
    int met = 0;
    CHECK_OK(korvani_run_for(15000, reported, log, &met, &check_error_));
    CHECK(met);
  }
  CHECK_OK(korvani_run_until_idle(NULL, &check_error_));
  CHECK(log->reports == 1);
  CHECK(log->ends == 1 && log->ended_first);
  korvani_component_release(component);
  CHECK(log->frees == 1);
  CHECK(*store_frees == 1);
}

static void test_payments(korvani_configuration_t* configuration, hook_state* hook,
                          korvani_sha256_hook* hook_installed) {
  korvani_error error = KORVANI_ERROR_INIT;
  korvani_sha256_hook ready_hook;
  char digest_hex[KORVANI_SHA256_HEX_SIZE];
  handler_log log;
  store_state store;
  korvani_store_callbacks table;

  memset(&ready_hook, 0, sizeof ready_hook);
  ready_hook.struct_size = sizeof ready_hook;
  ready_hook.digest = korvani_sha256_digest;

  // The sandbox's certificate is not trusted yet.
  table = store_table(&store, "visa", "sbx-approved");
  pay(configuration, &table, &log, BY_RUN_FOR);
  CHECK(log.remote_status == KORVANI_REMOTE_PAYMENT_REJECTED);
  CHECK(strcmp(log.detail, "") == 0 && strcmp(log.receipt, "(none)") == 0);
  CHECK(strcmp(tracked.result, "fail") == 0);
  CHECK(strstr(tracked.extra, "certificate is not trusted") != NULL);
  CHECK(exchanges.exchanges == 1 && exchanges.status_code == 0);
  CHECK(exchanges.domain == KORVANI_DOMAIN_URL && exchanges.code == -1202);
  CHECK(exchanges.send_count == 0);

  CHECK(korvani_session_add_trusted_certificates_file("/nonexistent/ca.pem", &error) ==
        KORVANI_ERR_IO);
  CHECK(error.domain == KORVANI_DOMAIN_API && error.code == KORVANI_ERR_IO);
  CHECK_OK(korvani_session_add_trusted_certificates_file(sandbox_ca, &check_error_));

  table = store_table(&store, "visa", "sbx-approved");
  pay(configuration, &table, &log, BY_SCHEDULER);
  CHECK(log.remote_status == -1);
  CHECK(strcmp(log.status, "approved") == 0 && strcmp(log.detail, "accredited") == 0);
  CHECK(strlen(log.receipt) == 10 && strspn(log.receipt, "0123456789") == 10);
  CHECK(tracked.events == 1 && strcmp(tracked.result, "success") == 0);
  // Money stays decimal all the way to the platform and back.
  CHECK(strstr(tracked.extra, "\"transaction_amount\":150.75,") != NULL);
  CHECK(strstr(tracked.extra, "\"external_reference\":\"order-c\"") != NULL);
  CHECK(exchanges.status_code == 201 && exchanges.domain == KORVANI_DOMAIN_NONE);
  CHECK(exchanges.send_count == 1);

  // The platform charges, then the connection drops before the answer: re-sent under the same
  // key, the copy gets the payment; with re-sending off the host hears "no payment".
  table = store_table(&store, "visa", "sbx-drop");
  pay(configuration, &table, &log, BY_RUN_FOR);
  CHECK(strcmp(log.status, "approved") == 0);
  CHECK(exchanges.status_code == 201 && exchanges.send_count == 2);
  CHECK_OK(korvani_session_set_resend_enabled(0, &check_error_));
  table = store_table(&store, "visa", "sbx-drop");
  pay(configuration, &table, &log, BY_RUN_FOR);
  CHECK_OK(korvani_session_set_resend_enabled(1, &check_error_));
  CHECK(log.remote_status == KORVANI_REMOTE_PAYMENT_REJECTED);
  CHECK(exchanges.status_code == 0 && exchanges.code == -1005 && exchanges.send_count == 1);

  // The library's own digest as the hook: the payment goes through without a host failure.
  CHECK_OK(korvani_sha256_hex("abc", digest_hex, &check_error_));
  CHECK(strcmp(digest_hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad") ==
        0);
  CHECK_OK(korvani_configuration_set_sha256_hook(configuration, &ready_hook, &check_error_));
  CHECK(hook->frees == 1);
  failures.failures = 0;
  table = store_table(&store, "visa", "sbx-rejected");
  pay(configuration, &table, &log, BY_SCHEDULER);
  CHECK(failures.failures == 0);
  *hook_installed = hook_table(hook);
  CHECK_OK(korvani_configuration_set_sha256_hook(configuration, hook_installed, &check_error_));
  CHECK(strcmp(log.status, "rejected") == 0);
  CHECK(strcmp(log.detail, "cc_rejected_other_reason") == 0);

  reachability.status = KORVANI_NOT_REACHABLE;
  table = store_table(&store, "visa", "sbx-approved");
  pay(configuration, &table, &log, BY_RUN_FOR);
  reachability.status = KORVANI_REACHABLE_VIA_WIFI;
  CHECK(log.remote_status == KORVANI_REMOTE_PAYMENT_REJECTED);
  CHECK(strstr(tracked.extra, "not connected to the internet") != NULL);
  CHECK(exchanges.domain == KORVANI_DOMAIN_URL && exchanges.code == -1009);
  CHECK(exchanges.send_count == 0);
}

// A store table from an older header, without get_data: the library must not read past it.
// A store whose get_data answers text that is not JSON, and a failing hook: reported, and the
// payment still reported.
static void test_store_sizes_and_host_failures(korvani_configuration_t* configuration,
                                               hook_state* hook) {
  handler_log log;
  store_state store;
  korvani_store_callbacks table = store_table(&store, "account_money", NULL);
  table.struct_size = offsetof(korvani_store_callbacks, get_data);
  pay(configuration, &table, &log, BY_SCHEDULER);
  CHECK(strcmp(log.status, "approved") == 0);
  CHECK(store.get_data_calls == 0);

  table = store_table(&store, "account_money", NULL);
  store.auth_code = "{not json";
  hook->fail = 7;
  failures.failures = 0;
  pay(configuration, &table, &log, BY_SCHEDULER);
  hook->fail = 0;
  CHECK(strcmp(log.status, "approved") == 0);
  CHECK(store.get_data_calls > 0);
  CHECK(failures.failures == 1 + store.get_data_calls);
  CHECK(failures.code == KORVANI_HOST_BAD_ANSWER || failures.code == 7);
  CHECK(strstr(failures.message, "failed with") != NULL);
}

// ---------------------------------------------------------------------------------------------
// Contracts that need no payment

typedef struct refused_call {
  korvani_error error;
  korvani_status status;
} refused_call;

static void* refuse_on_another_thread(void* argument) {
  refused_call* call = argument;
  call->status = korvani_configuration_set_internal_metadata(NULL, "{}", &call->error);
  return NULL;
}

static void test_errors(korvani_configuration_t* configuration) {
  korvani_error error = KORVANI_ERROR_INIT;
  int built = -1;
  unsigned char cut[offsetof(korvani_error, message) + 8 + 16];
  korvani_error* short_error = (korvani_error*)(void*)cut;
  size_t short_size = offsetof(korvani_error, message) + 8;
  refused_call other;
  pthread_t thread;
  size_t index;

  CHECK(korvani_configuration_set_text(NULL, KORVANI_CONFIG_PATH, "/x", &error) ==
        KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(error.domain == KORVANI_DOMAIN_API && error.code == KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(strstr(error.message, "configuration is NULL") != NULL);

  CHECK(korvani_configuration_set_internal_metadata(configuration, "{\"a\": [1,}", &error) ==
        KORVANI_ERR_INVALID_JSON);
  CHECK(strstr(error.message, "at byte 9") != NULL);
  CHECK(korvani_configuration_set_checkout_preference(configuration, "[1]", &built, &error) ==
        KORVANI_ERR_INVALID_JSON);
  CHECK(built == -1);
  CHECK_OK(korvani_configuration_set_merchant_order(configuration, "{\"id\": -1}", &built,
                                                    &check_error_));
  CHECK(built == 0);
  CHECK_OK(korvani_configuration_set_merchant_order(
      configuration, "{\"id\": 4242, \"external_reference\": \"order-c\"}", &built, &check_error_));
  CHECK(built == 1);

  // A record from an older, shorter header: written within its size, cut, terminated.
  memset(cut, 0xAB, sizeof cut);
  memcpy(cut, &short_size, sizeof short_size);
  CHECK(korvani_configuration_set_text(NULL, KORVANI_CONFIG_PATH, "/x", short_error) ==
        KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(memcmp(cut + offsetof(korvani_error, message), "configu", 8) == 0);
  for (index = short_size; index < sizeof cut; ++index)
    CHECK(cut[index] == 0xAB);
  // struct_size 0: nothing is written at all.
  memset(&error, 0, sizeof error);
  CHECK(korvani_configuration_set_text(NULL, KORVANI_CONFIG_PATH, "/x", &error) ==
        KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(error.domain == 0 && error.message[0] == '\0');

  // Each failing call fills its own record, on its own thread; nothing is left behind for
  // another thread to read.
  error = (korvani_error)KORVANI_ERROR_INIT;
  other.error = (korvani_error)KORVANI_ERROR_INIT;
  CHECK(pthread_create(&thread, NULL, refuse_on_another_thread, &other) == 0);
  pthread_join(thread, NULL);
  CHECK(other.status == KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(strstr(other.error.message, "configuration is NULL") != NULL);
  CHECK(error.domain == KORVANI_DOMAIN_NONE && error.message[0] == '\0');

  // A value from a newer header is refused, not misread.
  CHECK(korvani_configuration_set_text(configuration, (korvani_configuration_text)99, "x",
                                       &error) == KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(strcmp(korvani_status_name((korvani_status)99), "KORVANI_UNKNOWN_STATUS") == 0);
  CHECK(strcmp(korvani_status_name(KORVANI_ERR_SHUT_DOWN), "KORVANI_ERR_SHUT_DOWN") == 0);
}

// Every refused table is freed before the call returns, exactly once.
static void test_refused_tables_are_freed(void) {
  korvani_error error = KORVANI_ERROR_INIT;
  handler_log log;
  korvani_navigation_handler handler = handler_table(&log);
  hook_state hook;
  korvani_sha256_hook hook_cut = hook_table(&hook);
  int observer_frees = 0;
  korvani_exchange_observer observer;
  korvani_reachability reachability_cut;

  CHECK(korvani_component_set_navigation_handler(NULL, &handler, &error) ==
        KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(log.frees == 1);
  handler = handler_table(&log);
  handler.did_finish_payment = NULL;
  CHECK(korvani_component_set_navigation_handler(NULL, &handler, &error) ==
        KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(log.frees == 1);
  // Too short for the required digest, long enough for its free function.
  hook_cut.struct_size = offsetof(korvani_sha256_hook, digest);
  CHECK(korvani_configuration_set_sha256_hook(NULL, &hook_cut, &error) ==
        KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(hook.frees == 1 && hook.calls == 0);

  memset(&observer, 0, sizeof observer);
  observer.struct_size = sizeof observer;
  observer.user_data = &observer_frees;
  observer.free_user_data = free_counted;
  CHECK(korvani_set_exchange_observer(&observer, &error) == KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(observer_frees == 1);
  // Too short to hold even its free function: refused, and there is nothing it could free.
  reachability_cut.struct_size = offsetof(korvani_reachability, free_user_data);
  reachability_cut.user_data = &observer_frees;
  reachability_cut.free_user_data = free_counted;
  reachability_cut.current_status = current_status;
  CHECK(korvani_set_reachability(&reachability_cut, &error) == KORVANI_ERR_INVALID_ARGUMENT);
  CHECK(observer_frees == 1);
}

// Shutdown with one payment in flight (the sandbox holds it 1.5 s) and one answer queued, not yet
// run: no callback afterwards, every user data freed once inside the call, no thread left.
static void test_shutdown_with_work_in_flight(korvani_configuration_t* configuration,
                                              int threads_before) {
  korvani_error error = KORVANI_ERROR_INIT;
  korvani_component_t* components[2] = {NULL, NULL};
  const char* tokens[2] = {"sbx-slow", "sbx-approved"};
  handler_log logs[2];
  store_state stores[2];
  korvani_navigation_handler handler;
  korvani_store_callbacks store;
  int events_before;
  int index;
  struct timespec past_the_slow_answer = {2, 0};

  for (index = 0; index < 2; ++index) {
    handler = handler_table(&logs[index]);
    store = store_table(&stores[index], "visa", tokens[index]);
    CHECK_OK(korvani_component_new(configuration, &components[index], &check_error_));
    CHECK_OK(korvani_component_set_store(components[index], &store, &check_error_));
    CHECK_OK(korvani_component_set_navigation_handler(components[index], &handler, &check_error_));
    CHECK_OK(korvani_component_render_did_finish(components[index], &check_error_));
  }
  CHECK(take_notifies(&scheduler, 10000) > 0);  // the approved answer waits in the queue
  events_before = tracked.events;

  CHECK_OK(korvani_shutdown(10000, &check_error_));
  for (index = 0; index < 2; ++index) {
    CHECK(logs[index].frees == 1 && stores[index].frees == 1);
  }
  CHECK(scheduler.frees == 1 && reachability.frees == 1 && tracked.frees == 1);
  CHECK(failures.frees == 1 && exchanges.frees == 1);
  CHECK(thread_count() == threads_before);
  if (thread_count() != threads_before) {
    fprintf(stderr, "threads: %d before the library, %d after shutdown\n", threads_before,
            thread_count());
  }

  nanosleep(&past_the_slow_answer, NULL);
  CHECK(korvani_run_pending(NULL, &error) == KORVANI_ERR_SHUT_DOWN);
  CHECK(error.domain == KORVANI_DOMAIN_API && error.code == KORVANI_ERR_SHUT_DOWN);
  CHECK(korvani_run_until_idle(NULL, NULL) == KORVANI_ERR_SHUT_DOWN);
  CHECK(take_notifies(&scheduler, 0) == 0);
  for (index = 0; index < 2; ++index) {
    CHECK(logs[index].begins == 1 && logs[index].ends == 0 && logs[index].reports == 0);
  }
  CHECK(tracked.events == events_before);

  // A table handed over after shutdown is freed at once; releasing frees no user data again.
  store = store_table(&stores[0], "visa", NULL);
  CHECK(korvani_component_set_store(components[0], &store, &error) == KORVANI_ERR_SHUT_DOWN);
  CHECK(stores[0].frees == 1);
  for (index = 0; index < 2; ++index) {
    korvani_component_release(components[index]);
    CHECK(logs[index].frees == 1);
  }
  CHECK(stores[0].frees == 1 && stores[1].frees == 1);
  CHECK(strcmp(korvani_version(NULL, NULL, NULL), KORVANI_VERSION_TEXT) == 0);
}

// ---------------------------------------------------------------------------------------------

int main(int argc, char** argv) {
  const int threads_before = threads_without_the_library();
  korvani_error error = KORVANI_ERROR_INIT;
  korvani_configuration_t* configuration = NULL;
  const korvani_scheduler scheduler_table = {sizeof scheduler_table, &scheduler, free_counted,
                                             notify};
  const korvani_reachability reachability_table = {sizeof reachability_table, &reachability,
                                                   free_counted, current_status};
  const korvani_track_listener track_table = {sizeof track_table, &tracked, free_counted,
                                              track_event};
  const korvani_host_failure_listener failure_table = {sizeof failure_table, &failures,
                                                       free_counted, host_failed};
  const korvani_exchange_observer exchange_table = {sizeof exchange_table, &exchanges, free_counted,
                                                    exchange_finished};
  hook_state hook;
  korvani_sha256_hook hook_installed;
  int major = -1, minor = -1, patch = -1;
  size_t handles = 99, user_data = 99;

  host_thread = pthread_self();
  if (argc != 2 || !start_sandbox(argv[1], "1500")) {
    fprintf(stderr, "usage: %s SANDBOX_PROGRAM (the sandbox did not start)\n", argv[0]);
    return 1;
  }

  CHECK(strcmp(korvani_version(&major, &minor, &patch), KORVANI_VERSION_TEXT) == 0);
  CHECK(major == KORVANI_VERSION_MAJOR && minor == KORVANI_VERSION_MINOR &&
        patch == KORVANI_VERSION_PATCH);

  // The host services.
  memset(&scheduler, 0, sizeof scheduler);
  if (pipe(scheduler.pipe) != 0) return 1;
  CHECK_OK(korvani_set_scheduler(&scheduler_table, &check_error_));
  reachability.status = KORVANI_REACHABLE_VIA_WIFI;
  CHECK_OK(korvani_set_reachability(&reachability_table, &check_error_));
  CHECK_OK(korvani_set_track_listener(&track_table, &check_error_));
  CHECK_OK(korvani_set_host_failure_listener(&failure_table, &check_error_));
  CHECK_OK(korvani_set_exchange_observer(&exchange_table, &check_error_));

  // The configuration of every checkout below.
  CHECK_OK(korvani_configuration_new(&configuration, &check_error_));
  CHECK_OK(korvani_configuration_set_text(configuration, KORVANI_CONFIG_BASE_URL, sandbox_url,
                                          &check_error_));
  CHECK_OK(korvani_configuration_set_text(configuration, KORVANI_CONFIG_PATH, "/v1/payments",
                                          &check_error_));
  CHECK_OK(korvani_configuration_set_text(configuration, KORVANI_CONFIG_ACCESS_TOKEN, "TEST-c-host",
                                          &check_error_));
  CHECK_OK(korvani_configuration_set_checkout_preference(
      configuration, "{\"amount\": 150.75, \"marketplace\": \"NONE\"}", NULL, &check_error_));
  hook_installed = hook_table(&hook);
  CHECK_OK(korvani_configuration_set_sha256_hook(configuration, &hook_installed, &check_error_));

  test_errors(configuration);
  test_refused_tables_are_freed();
  test_payments(configuration, &hook, &hook_installed);
  test_store_sizes_and_host_failures(configuration, &hook);
  CHECK(callbacks_off_thread == 0);
  CHECK(hook.frees == 0 && scheduler.frees == 0 && tracked.frees == 0);

  test_shutdown_with_work_in_flight(configuration, threads_before);
  CHECK(hook.frees == 1);
  korvani_configuration_release(configuration);
  CHECK(hook.frees == 1);
  CHECK(korvani_live_objects(&handles, &user_data, &error) == KORVANI_OK);
  CHECK(handles == 0 && user_data == 0);
  CHECK(callbacks_off_thread == 0);
  stop_sandbox();
  printf("capi: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
