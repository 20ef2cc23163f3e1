/* Reads the card's two certificates through the card library and prints
 * them as PEM. Written in C: it also proves the public header is C. */
#include <stdio.h>
#include <stdlib.h>

#include "vorpin_dll.h"

static int show(const char* what, int32_t (*read)(unsigned char*, int32_t*)) {
  int32_t len = 0;
  int32_t rc = read(NULL, &len);
  if (rc != VORPIN_ERR_BUFFER_TOO_SMALL) {
    printf("%s certificate: error %d\n", what, (int)rc);
    return 1;
  }
  unsigned char* der = malloc((size_t)len);
  char* text = malloc((size_t)len * 2 + 4);
  int32_t chars = -1;
  int ok = der && text && read(der, &len) == VORPIN_OK &&
           (chars = B64Encode(der, (uint32_t)len, text, (uint32_t)len * 2 + 4)) > 0;
  if (ok) {
    printf("%s certificate (%d bytes):\n-----BEGIN CERTIFICATE-----\n", what, (int)len);
    for (int32_t at = 0; at < chars; at += 64) printf("%.64s\n", text + at);
    printf("-----END CERTIFICATE-----\n");
  }
  free(der);
  free(text);
  return ok ? 0 : 1;
}

int main(void) {
  int32_t rc = vorpin_init();
  if (rc != VORPIN_OK) {
    printf("vorpin_init: error %d\n", (int)rc);
    vorpin_fini();
    return 1;
  }
  int failed =
      show("signing", vorpin_getcert_for_sign) | show("encryption", vorpin_getcert_for_enc);
  vorpin_fini();
  return failed;
}
