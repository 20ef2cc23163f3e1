/* Times Encrypt and Decrypt of one file's bytes on the card.
 * usage: doclock_bench PIN RECIPIENT_CERT DATA_FILE OUT_P12
 * Prints "encrypt <seconds>" and "decrypt <seconds>"; exits 1 when the
 * round trip does not give the data back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "Doclock.h"

static unsigned char* read_all(const char* path, long* size) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) return NULL;
  fseek(f, 0, SEEK_END);
  *size = ftell(f);
  fseek(f, 0, SEEK_SET);
  unsigned char* bytes = malloc((size_t)*size + 1);
  if (bytes != NULL && fread(bytes, 1, (size_t)*size, f) != (size_t)*size) {
    free(bytes);
    bytes = NULL;
  }
  fclose(f);
  return bytes;
}

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s PIN RECIPIENT_CERT DATA_FILE OUT_P12\n", argv[0]);
    return 2;
  }
  long cert_size = 0, data_size = 0;
  unsigned char* cert = read_all(argv[2], &cert_size);
  unsigned char* data = read_all(argv[3], &data_size);
  if (cert == NULL || data == NULL) return 2;

  int32_t p12_size = (int32_t)data_size + 65536;
  unsigned char* p12 = malloc((size_t)p12_size);
  double t0 = now();
  int32_t rc = Encrypt(argv[1], cert, (int32_t)cert_size, data, (int32_t)data_size, p12, &p12_size);
  double t1 = now();
  if (rc != 0) {
    fprintf(stderr, "Encrypt: %d\n", rc);
    return 1;
  }
  FILE* f = fopen(argv[4], "wb");
  if (f == NULL || fwrite(p12, 1, (size_t)p12_size, f) != (size_t)p12_size) return 2;
  fclose(f);

  int32_t plain_size = (int32_t)data_size;
  unsigned char* plain = malloc((size_t)plain_size + 1);
  double t2 = now();
  rc = Decrypt(argv[1], plain, &plain_size, p12, p12_size);
  double t3 = now();
  if (rc != 0 || plain_size != data_size || memcmp(plain, data, (size_t)data_size) != 0) {
    fprintf(stderr, "Decrypt: %d\n", rc);
    return 1;
  }
  printf("encrypt %.3f\ndecrypt %.3f\n", t1 - t0, t3 - t2);
  free(plain);
  free(p12);
  free(data);
  free(cert);
  return 0;
}
