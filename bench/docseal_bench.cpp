// Times one signing or verification through the entry points and reports
// the seconds taken and the process's peak resident memory.
// usage: docseal_bench sign|verify PATH [PIN]
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <vector>

#include "Docseal.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s sign|verify PATH [PIN]\n", argv[0]);
    return 2;
  }
  const std::string what = argv[1];
  const char* path = argv[2];
  const char* pin = argc > 3 ? argv[3] : "";
  std::vector<char> text(1 << 20, '\0');
  const auto start = std::chrono::steady_clock::now();
  const int rc = what == "sign" ? Signature("bench", pin, path, "") : Verify(text.data(), path, "");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf("%s rc=%d seconds=%.3f peak_rss_kib=%ld\n", what.c_str(), rc, seconds, usage.ru_maxrss);
  return rc == 0 ? 0 : 1;
}
