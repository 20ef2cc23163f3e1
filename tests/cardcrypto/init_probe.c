/* Prints what vorpin_init answers, for the run path test. */
#include <stdio.h>

#include "vorpin_dll.h"

int main(void) {
  int32_t rc = vorpin_init();
  printf("%d\n", (int)rc);
  if (rc == 0) vorpin_fini();
  return 0;
}
