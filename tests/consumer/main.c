/* A C host in miniature, built from pkg-config's answer for korvani_c alone: the installed
   header and library must agree on the version, and a configuration must come and go. */
#include <stdio.h>
#include <string.h>

#include "korvani/korvani.h"

int main(void) {
  korvani_error error = KORVANI_ERROR_INIT;
  korvani_configuration_t* configuration = NULL;
  int major = -1;
  if (strcmp(korvani_version(&major, NULL, NULL), KORVANI_VERSION_TEXT) != 0 ||
      major != KORVANI_VERSION_MAJOR) {
    fprintf(stderr, "korvani_c_consumer: header %s, library %s\n", KORVANI_VERSION_TEXT,
            korvani_version(NULL, NULL, NULL));
    return 1;
  }
  if (korvani_configuration_new(&configuration, &error) != KORVANI_OK ||
      korvani_configuration_set_text(configuration, KORVANI_CONFIG_PATH, "/v1/payments", &error) !=
          KORVANI_OK) {
    fprintf(stderr, "korvani_c_consumer: %s\n", error.message);
    return 1;
  }
  korvani_configuration_release(configuration);
  return 0;
}
