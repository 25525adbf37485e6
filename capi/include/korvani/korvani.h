#ifndef KORVANI_KORVANI_H
#define KORVANI_KORVANI_H

// The payment plug-in for hosts in any language: a C interface over the C++ library, for
// bindings (Python's ctypes, Swift, Kotlin through JNI, C#, Dart's FFI) and plain C hosts.
// It compiles as C99 and as C++; every name starts with korvani_ or KORVANI_.
//
// The host journey:
//   1. korvani_configuration_new, then its setters (where to pay, who calls, what is paid);
//   2. the host services: korvani_set_reachability, korvani_set_track_listener, and, for a host
//      with its own loop, korvani_set_scheduler;
//   3. korvani_component_new, then korvani_component_set_store and
//      korvani_component_set_navigation_handler;
//   4. korvani_component_render_did_finish: the payment goes out;
//   5. on the host's thread, korvani_run_pending (after the scheduler's notify) or one of the
//      korvani_run_* drain calls: the navigation handler hears end_plugin_work and one report,
//      the track listener one event;
//   6. korvani_component_release, korvani_configuration_release; korvani_shutdown at the end.
//
// Rules that hold for every declaration below:
//
// Errors. Every call that can fail returns a korvani_status (KORVANI_OK is 0) and takes an
// optional korvani_error* as its last argument (NULL: not wanted). The record is filled only
// when the call fails, and only within its struct_size. There is no "last error" kept anywhere:
// what a call reports comes back through that call's own arguments, on its own thread.
//
// Exceptions. No C++ exception leaves the library: each one is caught where it would cross and
// becomes KORVANI_ERR_INTERNAL with domain KORVANI_DOMAIN_INTERNAL and the exception's text.
//
// Ownership. Every handle (korvani_..._t*) made by a korvani_..._new call is released by its one
// korvani_..._release call, which accepts NULL. Texts handed to the library are copied before the
// call returns. Texts and objects the library passes to a callback are valid only during that
// call: copy what you keep.
//
// User data. Every callback table carries user_data and free_user_data. A call that receives a
// table takes user_data over, whatever the call returns: the library calls free_user_data
// (when not NULL) exactly once, when it no longer needs user_data: when the object is replaced or
// let go of, when its owner is released, when the call itself fails (a NULL or too small table
// member, a released or NULL handle, after shutdown) and at korvani_shutdown. free_user_data runs
// on the thread of the library call that ended the need, never inside another callback of the
// same table, and never after korvani_shutdown has returned.
//
// Struct sizes. Every struct the host fills in begins with size_t struct_size, set to sizeof of
// the struct as the host was compiled. A library newer than the host reads only the members that
// fit in struct_size and treats the rest as absent (NULL, 0); a library older than the host
// ignores what lies beyond its own size. A table too short for a member the call requires is
// refused with KORVANI_ERR_INVALID_ARGUMENT. Structs the library fills in (korvani_error) follow
// the same rule the other way: the library writes only within the struct_size the host set.
//
// Threads. The host's thread is the one that calls the library (the component, the
// configuration, the drain calls); every callback runs on it, inside a library call: the
// navigation handler, the store, the hook, the track listener, reachability, the host failure
// listener, free_user_data. The one exception is korvani_scheduler.notify, which any thread may
// call. Calls marked "any thread" may be made from other threads. A callback may call the
// library (release a component inside a report, for instance), except the drain calls and
// korvani_shutdown, which answer KORVANI_ERR_WRONG_STATE there.
//
// Host failures. A callback answers 0 for success and anything else for failure. The library
// then goes on as if the callback had answered nothing (no payment data, no stored value, no hash
// part, not reachable) and reports the failure to the host failure listener
// (korvani_set_host_failure_listener) right after the callback returns, on the same thread; it
// also counts it (korvani_host_failure_count), so no failure is lost without a listener.
//
// What the plug-in cannot report. Three mistakes end in silence; none can be detected:
//   - No navigation handler before korvani_component_render_did_finish: the request goes out and
//     the platform may charge, but nobody hears the outcome. Set the handler first.
//   - A component released right after korvani_component_render_did_finish: the payment goes on
//     and may be charged, but a released component reports nothing. Keep the component until
//     its navigation handler has heard the report.
//   - Work never drained: without korvani_set_scheduler and without korvani_run_* calls the
//     answer waits in the queue forever and is dropped at exit (charged, not reported). Install
//     a scheduler, or call the drain calls on the host's thread until the report arrives.
//
// Shutdown. korvani_shutdown ends the library for the rest of the process: no callback fires
// afterwards, even for a payment in flight; queued work is dropped without running; every user
// data still held is freed once, inside the call. Afterwards every call answers
// KORVANI_ERR_SHUT_DOWN without doing anything (a call that received a callback table frees its
// user data first), except the release calls, which still free their handle's memory without
// calling the host, korvani_shutdown itself (KORVANI_OK again) and the calls marked "also after
// shutdown". Once it has returned KORVANI_OK no thread runs library code, so unloading the
// library is safe.

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KORVANI_C_API __attribute__((visibility("default")))
#else
#define KORVANI_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------------------------------------
// Version

// The header's own version; korvani_version() gives the library's, so that a binding can check
// that the header or package it was made from and the library it loaded agree.
#define KORVANI_VERSION_MAJOR 0
#define KORVANI_VERSION_MINOR 1
#define KORVANI_VERSION_PATCH 0
#define KORVANI_VERSION_TEXT "0.1.0"

// The library's version text ("0.1.0"), static, never NULL; each non-NULL argument receives one
// number. Never fails; any thread; also after shutdown.
KORVANI_C_API const char* korvani_version(int* major, int* minor, int* patch);

// ---------------------------------------------------------------------------------------------
// Errors

typedef enum korvani_status {
  KORVANI_OK = 0,
  KORVANI_ERR_INVALID_ARGUMENT = 1,  // a NULL handle or text, a too small struct_size, an unknown
                                     // enumeration value, a required callback missing
  KORVANI_ERR_INVALID_JSON = 2,      // text that is not JSON, or not the JSON value asked for;
                                     // the message says why and where
  KORVANI_ERR_WRONG_STATE = 3,       // a call not allowed now (a drain call inside a callback)
  KORVANI_ERR_SHUT_DOWN = 4,         // korvani_shutdown has run
  KORVANI_ERR_NOT_SUPPORTED = 5,     // this library does not offer the call yet
  KORVANI_ERR_IO = 6,                // a file could not be read
  KORVANI_ERR_TIMEOUT = 7,           // korvani_shutdown: the network thread did not stop in time
  KORVANI_ERR_INTERNAL = 8           // a C++ exception was caught at the boundary
} korvani_status;

// Where an error comes from, and so what its code means.
typedef enum korvani_error_domain {
  KORVANI_DOMAIN_NONE = 0,      // no error
  KORVANI_DOMAIN_API = 1,       // the call itself; code: its korvani_status
  KORVANI_DOMAIN_URL = 2,       // URL loading; code: the platform's code, e.g. -1009 no network,
                                // -1000 bad URL or incomplete request, -1001 timed out,
                                // -1202 untrusted certificate, -999 cancelled
  KORVANI_DOMAIN_HOST = 3,      // a host callback failed; code: what it returned
  KORVANI_DOMAIN_INTERNAL = 4,  // a C++ exception caught at the boundary; code: 0
  KORVANI_DOMAIN_OTHER = 5      // an error of another domain, e.g. an error answer's own
} korvani_error_domain;

#define KORVANI_ERROR_MESSAGE_SIZE 256

// An error record, filled in by the library. Set struct_size before the call (KORVANI_ERROR_INIT
// does); the library writes only within it, so a record from an older header is never written
// past. A struct_size of 0 makes the library write nothing. Nothing in it needs freeing.
typedef struct korvani_error {
  size_t struct_size;
  int32_t domain;  // a korvani_error_domain
  int64_t code;
  // UTF-8, always NUL-terminated, cut at a character boundary when too long.
  char message[KORVANI_ERROR_MESSAGE_SIZE];
} korvani_error;

// clang-format off
#define KORVANI_ERROR_INIT {sizeof(korvani_error), 0, 0, {0}}
// clang-format on

// The enumerator's name ("KORVANI_ERR_SHUT_DOWN"), static; "KORVANI_UNKNOWN_STATUS" for a value
// outside the enumeration. Any thread; also after shutdown.
KORVANI_C_API const char* korvani_status_name(korvani_status status);

// ---------------------------------------------------------------------------------------------
// Answers: how a callback hands text back. The library passes a korvani_text_answer_t* into the
// callback; the host calls korvani_text_answer_set on it during the callback (after it returns
// the pointer is invalid). Not calling it means "nothing".

typedef struct korvani_text_answer korvani_text_answer_t;

// Copies `text` (UTF-8, NUL-terminated) as the answer; a later call replaces it, NULL clears it.
// KORVANI_ERR_INVALID_ARGUMENT for a NULL answer.
KORVANI_C_API korvani_status korvani_text_answer_set(korvani_text_answer_t* answer,
                                                     const char* text, korvani_error* error);

// ---------------------------------------------------------------------------------------------
// Configuration: everything the host tells the plug-in. The component shares it and reads it
// afresh for every payment, so later changes are seen by later payments. Host's thread.

typedef struct korvani_configuration korvani_configuration_t;

// The text members; each is absent until set.
typedef enum korvani_configuration_text {
  KORVANI_CONFIG_BASE_URL = 0,      // start of the payment URL; HTTPS only
  KORVANI_CONFIG_PATH = 1,          // appended to the base URL; absent: nothing is sent (-1000)
  KORVANI_CONFIG_ACCESS_TOKEN = 2,  // the merchant's token, sent as the query "access_token"
  KORVANI_CONFIG_APP_VERSION = 3,   // "X-App-Version" (unless a user agent is set), tracking id
  KORVANI_CONFIG_SESSION_ID = 4,    // "X-Brix-Session-Id"
  KORVANI_CONFIG_PLATFORM = 5,      // "X-Platform" and tracking id; "ios" until set, NULL: ""
  KORVANI_CONFIG_SITE_ID = 6,       // kept for the host; no request uses it
  KORVANI_CONFIG_SOURCE = 7,        // inside the tracking id only
  KORVANI_CONFIG_USER_AGENT = 8     // "User-Agent"; then "X-App-Version" and "X-Platform" go
} korvani_configuration_text;

// A new configuration: texts absent except the platform "ios", no records, internal metadata
// present and empty ({}), no hook. *out receives the handle (NULL on failure); release it with
// korvani_configuration_release.
KORVANI_C_API korvani_status korvani_configuration_new(korvani_configuration_t** out,
                                                       korvani_error* error);
// Drops the host's reference; the configuration lives on while a component holds it. NULL-safe.
// Also after shutdown.
KORVANI_C_API void korvani_configuration_release(korvani_configuration_t* configuration);

// Sets one text member (copied; NULL makes it absent). Nothing is validated here: a bad value
// shows when the payment is sent.
KORVANI_C_API korvani_status korvani_configuration_set_text(korvani_configuration_t* configuration,
                                                            korvani_configuration_text member,
                                                            const char* value,
                                                            korvani_error* error);

// The records, built from the merchant's JSON text (a JSON object; NULL removes the record).
// Text that is not a JSON object is refused with KORVANI_ERR_INVALID_JSON, the reason and byte
// offset in the message, and the member is left as it was. Otherwise the record is built by the
// plug-in's rules (an ill-typed or missing key leaves that field empty) and *built (when not
// NULL) says whether there is a record: a merchant order whose "id" is not an integral number in
// the unsigned 64-bit range builds none, and the member becomes absent.
KORVANI_C_API korvani_status korvani_configuration_set_checkout_preference(
    korvani_configuration_t* configuration, const char* json, int* built, korvani_error* error);
KORVANI_C_API korvani_status korvani_configuration_set_merchant_order(
    korvani_configuration_t* configuration, const char* json, int* built, korvani_error* error);
KORVANI_C_API korvani_status korvani_configuration_set_discount(
    korvani_configuration_t* configuration, const char* json, int* built, korvani_error* error);

// Internal metadata, sent as is as "internal_metadata": a JSON object's text, or NULL to leave
// the key out. Text that is not a JSON object: KORVANI_ERR_INVALID_JSON, unchanged.
KORVANI_C_API korvani_status korvani_configuration_set_internal_metadata(
    korvani_configuration_t* configuration, const char* json, korvani_error* error);

// The idempotency key's hash part: digest answers, through korvani_text_answer_set, the
// lower-case hex SHA-256 of `text` (the payment's identifying fragment). Called once per
// payment, on the host's thread, inside korvani_component_render_did_finish. Answering nothing
// or failing (non-zero; reported as a host failure) means no hash part: the key is then only
// the component's creation second, shared by every payer in that second.
typedef struct korvani_sha256_hook {
  size_t struct_size;
  void* user_data;
  void (*free_user_data)(void* user_data);
  int (*digest)(void* user_data, const char* text, korvani_text_answer_t* answer);  // required
} korvani_sha256_hook;

// Installs the hook (copied; NULL removes it). The earlier hook's user data is freed when no
// payment being built needs it any more; this hook's when it is replaced, when the configuration
// is released and no component holds it, or at shutdown.
KORVANI_C_API korvani_status korvani_configuration_set_sha256_hook(
    korvani_configuration_t* configuration, const korvani_sha256_hook* hook, korvani_error* error);

// A ready digest with the hook's signature: `hook.digest = korvani_sha256_digest;` (user_data
// unused). Answers the lower-case hex SHA-256 of `text`. Returns a korvani_status as int (a
// failure is reported as a host failure: no hash part).
KORVANI_C_API int korvani_sha256_digest(void* user_data, const char* text,
                                        korvani_text_answer_t* answer);

#define KORVANI_SHA256_HEX_SIZE 65  // 64 hex digits and the NUL

// The lower-case hex SHA-256 of `text` (64 digits and a NUL) into `hex`. Any thread.
KORVANI_C_API korvani_status korvani_sha256_hex(const char* text, char hex[KORVANI_SHA256_HEX_SIZE],
                                                korvani_error* error);

// ---------------------------------------------------------------------------------------------
// The host checkout: store and navigation handler, handed to one component.

// The payer's choices, filled in by the store's current_payment_data through the two calls
// below, during that callback only. Everything not set is absent.
typedef struct korvani_payment_data korvani_payment_data_t;

typedef enum korvani_payment_text {
  KORVANI_PAYMENT_METHOD_ID = 0,  // "payment_method_id"; "account_money" pays with the stored code
  KORVANI_PAYMENT_TYPE_ID = 1,    // "credit_card" or "debit_card" makes a card payment
  KORVANI_ISSUER_ID = 2,          // "issuer_id" of a card payment
  KORVANI_TOKEN_ID = 3            // "token" of a card payment
} korvani_payment_text;

// Copies one identifier (NULL: absent). The payment method is present when its id or type id
// is set, the issuer and the token when their id is.
KORVANI_C_API korvani_status korvani_payment_data_set_text(korvani_payment_data_t* data,
                                                           korvani_payment_text member,
                                                           const char* value, korvani_error* error);
// The instalments of a card payment; without this call the plug-in sends 1.
KORVANI_C_API korvani_status korvani_payment_data_set_installments(korvani_payment_data_t* data,
                                                                   int64_t installments,
                                                                   korvani_error* error);

// The host's checkout store. Called on the host's thread inside
// korvani_component_render_did_finish.
typedef struct korvani_store_callbacks {
  size_t struct_size;
  void* user_data;
  void (*free_user_data)(void* user_data);
  // Required. The payer's choices now, through korvani_payment_data_set_*. Failure: a payment
  // with nothing chosen.
  int (*current_payment_data)(void* user_data, korvani_payment_data_t* data);
  // Optional (NULL: no values). The value kept under `key`, as JSON text through
  // korvani_text_answer_set; nothing for none. The plug-in asks for "auth_code", which holds a
  // second-factor code as {"code": text, "validated": boolean}. Text that is not JSON counts as
  // no value and is reported as a host failure (code KORVANI_HOST_BAD_ANSWER).
  int (*get_data)(void* user_data, const char* key, korvani_text_answer_t* answer);
} korvani_store_callbacks;

// The code a host failure carries when the callback succeeded but its answer was unusable.
#define KORVANI_HOST_BAD_ANSWER (-1)

// Report without a payment: the only value the plug-in sends.
#define KORVANI_REMOTE_PAYMENT_REJECTED 1

// The host's navigation handler. All four are required; each runs on the host's thread.
typedef struct korvani_navigation_handler {
  size_t struct_size;
  void* user_data;
  void (*free_user_data)(void* user_data);
  // Inside korvani_component_set_navigation_handler, before it returns.
  int (*begin_plugin_work)(void* user_data);
  // When the payment's outcome arrives (inside a drain call), just before the report.
  int (*end_plugin_work)(void* user_data);
  // Report of a payment the platform answered: its status ("approved", "rejected", ...), status
  // detail, and its id as the receipt (NULL when the answer had no usable id).
  int (*did_finish_payment)(void* user_data, const char* status, const char* status_detail,
                            const char* receipt_id);
  // Report without a payment (no network, no answer, an error answer, an answer that is not a
  // payment): remote_status KORVANI_REMOTE_PAYMENT_REJECTED, status_detail "" and receipt_id NULL.
  int (*did_finish_remote_payment)(void* user_data, int remote_status, const char* status_detail,
                                   const char* receipt_id);
} korvani_navigation_handler;

// ---------------------------------------------------------------------------------------------
// The component: the object the host checkout drives. Host's thread.

typedef struct korvani_component korvani_component_t;

// A component paying with `configuration`, which it shares (the host may release its own
// handle). No network or host activity. *out receives the handle (NULL on failure).
KORVANI_C_API korvani_status korvani_component_new(korvani_configuration_t* configuration,
                                                   korvani_component_t** out, korvani_error* error);
// Releases the component, its store and its handler (their user data are freed here). A payment
// still in flight goes on but reports nothing (see "What the plug-in cannot report"). NULL-safe.
// Also after shutdown (then no user data is freed: shutdown did).
KORVANI_C_API void korvani_component_release(korvani_component_t* component);

// Hands over the checkout store (copied table; NULL keeps none), replacing the earlier one, whose
// user data is freed. It is read when rendering has finished. Like the handler's hand-over, it
// opens a connection to the base URL in the background when the network is reachable.
KORVANI_C_API korvani_status korvani_component_set_store(korvani_component_t* component,
                                                         const korvani_store_callbacks* store,
                                                         korvani_error* error);
// Hands over the navigation handler (copied table; NULL keeps none): calls its
// begin_plugin_work, then keeps it, replacing (and freeing) the earlier one. The outcome goes to
// the handler held when it arrives.
KORVANI_C_API korvani_status korvani_component_set_navigation_handler(
    korvani_component_t* component, const korvani_navigation_handler* handler,
    korvani_error* error);
// Rendering has finished: reads the store, builds the request (calling the hook) and starts the
// payment, then returns. The outcome arrives later, inside a drain call: end_plugin_work, then
// one report. Each call starts another payment and drops the earlier one's report.
KORVANI_C_API korvani_status korvani_component_render_did_finish(korvani_component_t* component,
                                                                 korvani_error* error);

// The request of the component's last payment as the payment service sends it, rebuilt by the
// component from the same state (same creation time, so the same idempotency key; the hook is
// called again): a JSON object {"method", "url" (with the encoded query, the access token in
// it; null without a base URL or path), "query" (the parameters, not encoded), "headers"
// (every field sent, Content-Type included), "body" (null without one)}. *json_out receives a
// UTF-8 text that the host frees with korvani_text_free (NULL on failure). For hosts that show
// what they send. Host's thread.
KORVANI_C_API korvani_status korvani_component_copy_request(const korvani_component_t* component,
                                                            char** json_out, korvani_error* error);
// Frees a text the library handed over. NULL-safe; also after shutdown.
KORVANI_C_API void korvani_text_free(char* text);

// ---------------------------------------------------------------------------------------------
// Host services, process-wide. Installing is allowed from any thread; the callbacks run on the
// host's thread.

// Reachability, asked before every payment and before a connection is opened ahead. *status:
// 0 no network (the payment fails at once with -1009 and a report without payment), 1 Wi-Fi,
// 2 mobile; any other value counts as reachable. Failing counts as no network.
#define KORVANI_NOT_REACHABLE 0
#define KORVANI_REACHABLE_VIA_WIFI 1
#define KORVANI_REACHABLE_VIA_WWAN 2

typedef struct korvani_reachability {
  size_t struct_size;
  void* user_data;
  void (*free_user_data)(void* user_data);
  int (*current_status)(void* user_data, int* status);  // required
} korvani_reachability;

// Installs the host's reachability (copied; NULL restores the default, which looks for a
// non-loopback network interface that is up). The earlier one's user data is freed.
KORVANI_C_API korvani_status korvani_set_reachability(const korvani_reachability* reachability,
                                                      korvani_error* error);

// The tracker's listener: one event per parsed payment and per failed request, with screen
// "/myzr/account_balance", action "post_payment", result "success" (extra {"raw": the payment})
// or "fail" (extra {"error": the error's description}). result and extra_json may be NULL.
typedef struct korvani_track_listener {
  size_t struct_size;
  void* user_data;
  void (*free_user_data)(void* user_data);
  int (*track_event)(void* user_data, const char* screen_name, const char* action,
                     const char* result, const char* extra_json);  // required
} korvani_track_listener;

// Installs the listener (copied; NULL removes it: events are dropped). The earlier one's user
// data is freed.
KORVANI_C_API korvani_status korvani_set_track_listener(const korvani_track_listener* listener,
                                                        korvani_error* error);

// Hears every failure of a host callback, right after the failing callback returned, on the same
// thread: error->domain KORVANI_DOMAIN_HOST, error->code what the callback returned (or
// KORVANI_HOST_BAD_ANSWER), error->message which callback it was. Its own failure is ignored.
typedef struct korvani_host_failure_listener {
  size_t struct_size;
  void* user_data;
  void (*free_user_data)(void* user_data);
  void (*host_failed)(void* user_data, const korvani_error* error);  // required
} korvani_host_failure_listener;

// Installs the listener (copied; NULL removes it). The earlier one's user data is freed.
KORVANI_C_API korvani_status korvani_set_host_failure_listener(
    const korvani_host_failure_listener* listener, korvani_error* error);
// How many host callbacks have failed since the library was loaded, listener or not. Any thread.
KORVANI_C_API korvani_status korvani_host_failure_count(uint64_t* count, korvani_error* error);

// One HTTP exchange's outcome, for diagnostics: the reports and the tracking event stay as they
// are. Library-owned, valid during the call; read only the members within struct_size.
typedef struct korvani_exchange {
  size_t struct_size;
  int64_t status_code;         // the HTTP status; 0 when no answer came
  const korvani_error* error;  // NULL when the exchange had no error
  uint32_t send_count;         // how many times the request went out: 0 when stopped before
                               // sending, 1 normally, more after a re-send (see below)
} korvani_exchange;

typedef struct korvani_exchange_observer {
  size_t struct_size;
  void* user_data;
  void (*free_user_data)(void* user_data);
  void (*exchange_finished)(void* user_data, const korvani_exchange* exchange);  // required
} korvani_exchange_observer;

// Installs the observer (copied; NULL removes it), off by default; it logs nothing. Called on the
// host's thread, inside a drain call, once per exchange as soon as its outcome is known: before
// the report, and also for an exchange nobody reports (a component released mid-payment). The
// earlier observer's user data is freed.
KORVANI_C_API korvani_status
korvani_set_exchange_observer(const korvani_exchange_observer* observer, korvani_error* error);

// ---------------------------------------------------------------------------------------------
// Delivery on the host's thread. Network answers arrive on the network thread and are queued;
// they run, as callbacks of the handler and listener, only inside the calls below.

// A host with its own loop installs a scheduler: notify is called from ANY thread (the network
// thread, or the host's own) each time work is queued; it must return quickly and must not call
// the library. The host then calls korvani_run_pending on its own thread, for instance by posting
// to its loop (Python: loop.call_soon_threadsafe; Android: Handler.post; Swift:
// DispatchQueue.main.async). Missing a notify is harmless if a later one comes; calling
// korvani_run_pending without one is harmless too.
typedef struct korvani_scheduler {
  size_t struct_size;
  void* user_data;
  void (*free_user_data)(void* user_data);
  void (*notify)(void* user_data);  // required; any thread
} korvani_scheduler;

// Installs the scheduler (copied; NULL removes it) and notifies it at once when work is already
// waiting. Replacing or removing waits for a notify in progress on another thread to return,
// then frees the earlier user data on this thread. Host's thread, outside callbacks.
KORVANI_C_API korvani_status korvani_set_scheduler(const korvani_scheduler* scheduler,
                                                   korvani_error* error);

// Runs the work queued when the call began (work queued meanwhile waits for its own notify), in
// order; *ran (when not NULL) receives how many items ran. Host's thread.
KORVANI_C_API korvani_status korvani_run_pending(size_t* ran, korvani_error* error);

// Drain calls for a host without its own loop (they work with a scheduler installed too):
// the oldest item, if any (*ran 0 or 1); every item until none is left, including those queued
// meanwhile; items as they arrive, sleeping in between, until condition(context) answers
// non-zero or timeout_ms passes (*condition_met receives the last answer; NULL condition: runs
// until the time-out, and *condition_met is 0). The condition is asked on entry and after each
// item, on this thread. Host's thread, outside callbacks.
KORVANI_C_API korvani_status korvani_run_once(int* ran, korvani_error* error);
KORVANI_C_API korvani_status korvani_run_until_idle(size_t* ran, korvani_error* error);
KORVANI_C_API korvani_status korvani_run_for(int64_t timeout_ms, int (*condition)(void* context),
                                             void* context, int* condition_met,
                                             korvani_error* error);

// ---------------------------------------------------------------------------------------------
// Session settings, process-wide; each applies to requests made afterwards. Any thread.

// Trusts the PEM certificates of a file (read now; KORVANI_ERR_IO when it cannot be read) or of
// a text, beside the system store. Verification is always on.
KORVANI_C_API korvani_status korvani_session_add_trusted_certificates_file(const char* path,
                                                                           korvani_error* error);
KORVANI_C_API korvani_status korvani_session_add_trusted_certificates_pem(const char* pem,
                                                                          korvani_error* error);
// Forgets the certificates added (the system store stays).
KORVANI_C_API korvani_status korvani_session_reset_trusted_certificates(korvani_error* error);
// The proxy every request goes through ("http://host:port"); NULL for none, the default. The
// environment is never read.
KORVANI_C_API korvani_status korvani_session_set_proxy(const char* proxy, korvani_error* error);
// Opening a connection ahead of the first payment: on (non-zero) by default.
KORVANI_C_API korvani_status korvani_session_set_warm_up_enabled(int enabled, korvani_error* error);
// Re-sending: a payment whose connection is lost before its answer is complete goes out again,
// with identical bytes and the same idempotency key, on a new connection (at most three sends,
// a short pause between them, all within the exchange's deadline), so that the platform
// answers with the payment it made instead of the host hearing "no payment" for a charged
// payer. An answer, a time-out and a cancel are never re-sent. On (non-zero) by default; turn
// it off only for a platform that does not honour idempotency keys.
KORVANI_C_API korvani_status korvani_session_set_resend_enabled(int enabled, korvani_error* error);
// The longest one exchange may take in all (default 78000 ms; at least 1), and the largest
// answer body accepted (default 1 MiB; at least 1).
KORVANI_C_API korvani_status korvani_session_set_request_deadline_ms(int64_t deadline_ms,
                                                                     korvani_error* error);
KORVANI_C_API korvani_status korvani_session_set_maximum_response_bytes(size_t bytes,
                                                                        korvani_error* error);

// ---------------------------------------------------------------------------------------------
// Shutdown and accounting

// Ends the library for this process (see "Shutdown" above): marks it shut down, drops the queued
// work, stops the network thread (what is in flight is cancelled and reported to no one),
// waiting up to timeout_ms for it, and frees every user data still held, on this thread.
// KORVANI_ERR_TIMEOUT when the thread had not stopped in time: the library is shut down all the
// same, but unloading it is not yet safe (call again to wait more). Host's thread, outside
// callbacks.
KORVANI_C_API korvani_status korvani_shutdown(int64_t timeout_ms, korvani_error* error);

// What the library holds for the host now: handles not yet released, and user data not yet
// freed. For leak checks in bindings. Any thread; also after shutdown.
KORVANI_C_API korvani_status korvani_live_objects(size_t* handles, size_t* user_data,
                                                  korvani_error* error);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // KORVANI_KORVANI_H
