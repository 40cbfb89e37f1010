// Sanitizer builds only: the defaults of AddressSanitizer for zmfile.
//
// LeakSanitizer's scan at exit crashed ("Tracer caught signal 11") in
// `zmfile serve --tls-cert ... --htpasswd ...` on a dynamic-TLS range of
// 0x794-0x1000001896 that the runtime's __tls_get_addr interceptor (g++ 12,
// glibc 2.36) had recorded for the main thread; whether it happened moved
// with the process's memory layout (the number of users in the file). Not
// intercepting __tls_get_addr leaves the dynamic TLS of libraries unscanned,
// which could only add leak reports, never hide one.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "intercept_tls_get_addr=0";
}
