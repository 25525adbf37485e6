// A C host that loads libkorvani_c at run time, starts a payment the sandbox holds for a second,
// shuts the library down with it in flight and unloads it: no thread may be left running the
// library's code, no callback may come, and the process must live on.
// Usage: korvani_capi_unload_test LIBRARY SANDBOX_PROGRAM [--keep-loaded]
#define _POSIX_C_SOURCE 200809L

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "c_host_support.h"
#include "korvani/korvani.h"

// The calls this host makes, looked up by name.
static struct {
  korvani_status (*configuration_new)(korvani_configuration_t**, korvani_error*);
  korvani_status (*configuration_set_text)(korvani_configuration_t*, korvani_configuration_text,
                                           const char*, korvani_error*);
  void (*configuration_release)(korvani_configuration_t*);
  korvani_status (*component_new)(korvani_configuration_t*, korvani_component_t**, korvani_error*);
  korvani_status (*component_set_store)(korvani_component_t*, const korvani_store_callbacks*,
                                        korvani_error*);
  korvani_status (*component_set_navigation_handler)(korvani_component_t*,
                                                     const korvani_navigation_handler*,
                                                     korvani_error*);
  korvani_status (*component_render_did_finish)(korvani_component_t*, korvani_error*);
  void (*component_release)(korvani_component_t*);
  korvani_status (*payment_data_set_text)(korvani_payment_data_t*, korvani_payment_text,
                                          const char*, korvani_error*);
  korvani_status (*add_trusted_certificates_file)(const char*, korvani_error*);
  korvani_status (*set_reachability)(const korvani_reachability*, korvani_error*);
  korvani_status (*shutdown)(int64_t, korvani_error*);
} api;

static int load(void* library, const char* name, void* slot, size_t size) {
  void* symbol = dlsym(library, name);
  if (!symbol) fprintf(stderr, "unload: %s is missing\n", name);
  if (!symbol || size != sizeof symbol) return 0;
  memcpy(slot, &symbol, size);
  return 1;
}
#define LOAD(library, member, name) load(library, name, (void*)&api.member, sizeof api.member)

static int calls_after_shutdown;
static int frees;
static int shut_down;

static void count_free(void* user_data) {
  (void)user_data;
  ++frees;
}
static int heard(void* user_data) {
  (void)user_data;
  calls_after_shutdown += shut_down;
  return 0;
}
static int heard_finish(void* user_data, const char* status, const char* detail,
                        const char* receipt) {
  (void)status, (void)detail, (void)receipt;
  return heard(user_data);
}
static int heard_remote(void* user_data, int status, const char* detail, const char* receipt) {
  (void)status, (void)detail, (void)receipt;
  return heard(user_data);
}
static int reachable(void* user_data, int* status) {
  (void)user_data;
  *status = KORVANI_REACHABLE_VIA_WIFI;
  return 0;
}
static int slow_card(void* user_data, korvani_payment_data_t* data) {
  (void)user_data;
  api.payment_data_set_text(data, KORVANI_PAYMENT_METHOD_ID, "visa", NULL);
  api.payment_data_set_text(data, KORVANI_PAYMENT_TYPE_ID, "credit_card", NULL);
  api.payment_data_set_text(data, KORVANI_TOKEN_ID, "sbx-slow", NULL);
  return 0;
}

static int run(void* library, int threads_before) {
  korvani_error error = KORVANI_ERROR_INIT;
  korvani_configuration_t* configuration = NULL;
  korvani_component_t* component = NULL;
  korvani_reachability reachability = {sizeof reachability, NULL, count_free, reachable};
  korvani_store_callbacks store = {sizeof store, NULL, count_free, slow_card, NULL};
  korvani_navigation_handler handler = {sizeof handler, NULL,         count_free,  heard,
                                        heard,          heard_finish, heard_remote};
  korvani_status status;
  if (!LOAD(library, configuration_new, "korvani_configuration_new") ||
      !LOAD(library, configuration_set_text, "korvani_configuration_set_text") ||
      !LOAD(library, configuration_release, "korvani_configuration_release") ||
      !LOAD(library, component_new, "korvani_component_new") ||
      !LOAD(library, component_set_store, "korvani_component_set_store") ||
      !LOAD(library, component_set_navigation_handler,
            "korvani_component_set_navigation_handler") ||
      !LOAD(library, component_render_did_finish, "korvani_component_render_did_finish") ||
      !LOAD(library, component_release, "korvani_component_release") ||
      !LOAD(library, payment_data_set_text, "korvani_payment_data_set_text") ||
      !LOAD(library, add_trusted_certificates_file,
            "korvani_session_add_trusted_certificates_file") ||
      !LOAD(library, set_reachability, "korvani_set_reachability") ||
      !LOAD(library, shutdown, "korvani_shutdown")) {
    return 0;
  }
  if (api.add_trusted_certificates_file(sandbox_ca, &error) != KORVANI_OK ||
      api.set_reachability(&reachability, &error) != KORVANI_OK ||
      api.configuration_new(&configuration, &error) != KORVANI_OK ||
      api.configuration_set_text(configuration, KORVANI_CONFIG_BASE_URL, sandbox_url, &error) ||
      api.configuration_set_text(configuration, KORVANI_CONFIG_PATH, "/v1/payments", &error) ||
      api.configuration_set_text(configuration, KORVANI_CONFIG_ACCESS_TOKEN, "TEST-c", &error) ||
      api.component_new(configuration, &component, &error) != KORVANI_OK ||
      api.component_set_store(component, &store, &error) != KORVANI_OK ||
      api.component_set_navigation_handler(component, &handler, &error) != KORVANI_OK ||
      api.component_render_did_finish(component, &error) != KORVANI_OK) {
    fprintf(stderr, "unload: %s\n", error.message);
    return 0;
  }
  shut_down = 1;
  status = api.shutdown(10000, &error);
  if (status != KORVANI_OK || frees != 3 || thread_count() != threads_before) {
    fprintf(stderr, "unload: shutdown %d (%s), %d frees of 3, %d threads of %d\n", (int)status,
            error.message, frees, thread_count(), threads_before);
    return 0;
  }
  api.component_release(component);
  api.configuration_release(configuration);
  return 1;
}

int main(int argc, char** argv) {
  const int threads_before = threads_without_the_library();
  const struct timespec past_the_answer = {2, 0};
  void* library;
  int ok;
  const int keep_loaded = argc == 4 && strcmp(argv[3], "--keep-loaded") == 0;
  if (argc < 3 || argc > 3 + keep_loaded || !start_sandbox(argv[2], "1000")) {
    fprintf(stderr, "usage: %s LIBRARY SANDBOX_PROGRAM [--keep-loaded] (or no sandbox)\n", argv[0]);
    return 1;
  }
  library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    fprintf(stderr, "unload: %s\n", dlerror());
    return 1;
  }
  ok = run(library, threads_before);
  if (!keep_loaded) ok = dlclose(library) == 0 && ok;
  // The sandbox answers meanwhile; nothing of the library may be left to hear it.
  nanosleep(&past_the_answer, NULL);
  stop_sandbox();
  ok = ok && frees == 3 && calls_after_shutdown == 0;
  printf("unload: %d passed, %d failed\n", ok, !ok);
  return ok ? 0 : 1;
}
