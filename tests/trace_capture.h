// Captures the card library's trace messages in tests. Works only with the
// test build of the card library (vorpin_dll_traced), which hands every
// formatted message to the sink installed here.
#ifndef TESTS_TRACE_CAPTURE_H
#define TESTS_TRACE_CAPTURE_H

#include <string>
#include <vector>

extern "C" void vorpin_test_set_trace_sink(void (*sink)(const char* message));

// While an object lives, every trace message is appended to Messages().
class TraceCapture {
 public:
  TraceCapture() {
    Messages().clear();
    vorpin_test_set_trace_sink(&Sink);
  }
  ~TraceCapture() { vorpin_test_set_trace_sink(nullptr); }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  static std::vector<std::string>& Messages() {
    static std::vector<std::string> messages;
    return messages;
  }

 private:
  static void Sink(const char* message) { Messages().emplace_back(message ? message : "(null)"); }
};

#endif
