/* A tiny host program built against the installed libraries. HOST_USES_<lib>
 * says which of the libraries the build links. */
#include <stdio.h>
#include <string.h>
#include <vorpin_dll.h>
#ifdef HOST_USES_Docseal
#include <Docseal.h>
#endif
#ifdef HOST_USES_Doclock
#include <Doclock.h>
#endif

int main(void) {
  char text[16];
  int failures = 0;
  if (B64Encode((const unsigned char*)"card", 4, text, sizeof text) != 8 ||
      strcmp(text, "Y2FyZA==") != 0) {
    printf("B64Encode: wrong text '%s'\n", text);
    failures++;
  }
  /* No card module on the loader's path here: the start must fail cleanly. */
  if (vorpin_init() != VORPIN_ERR_LOAD_MODULE) {
    printf("vorpin_init: expected %d\n", VORPIN_ERR_LOAD_MODULE);
    failures++;
  }
  vorpin_fini();
#ifdef HOST_USES_Docseal
  {
    char info[256] = "";
    if (GetSignInfo(info, "/nonexistent/file.sig") != DOCSEAL_ERR_PATH) {
      printf("GetSignInfo: expected %d\n", DOCSEAL_ERR_PATH);
      failures++;
    }
  }
#endif
#ifdef HOST_USES_Doclock
  {
    char cert[3000];
    const unsigned char junk[4] = {1, 2, 3, 4};
    if (GetSignCertificateFromP12(junk, 4, cert) == 0) {
      printf("GetSignCertificateFromP12: junk accepted\n");
      failures++;
    }
  }
#endif
  printf("host: %s\n", failures == 0 ? "ok" : "FAILED");
  return failures == 0 ? 0 : 1;
}
