// Test support for the attack tests: hostile clients (connection floods,
// trickled uploads, TLS), and a timed probe standing for another client.
// Every loop is bounded in count and time; loopback addresses only.
#ifndef ZIMRAX_TESTS_SERVER_ATTACK_CLIENTS_H_
#define ZIMRAX_TESTS_SERVER_ATTACK_CLIENTS_H_

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace zimrax::testing {

// Timing bounds of the attack tests hold in the release build; under the
// sanitizers every bound is this many times looser.
#ifdef ZIMRAX_ATTACK_SANITIZED
inline constexpr double kAttackTimeScale = 5.0;
#else
inline constexpr double kAttackTimeScale = 1.0;
#endif

// A loaded machine (other builds sharing its two cores) slows every
// answer, attacked or not. Each timing bound is therefore the issue's
// figure plus kBaselineAllowance times the same request's time measured
// just before the attack, in the same run: idle, that is a millisecond or
// two, and the bound is the figure; an attack that the server does not
// withstand costs seconds, far past either. A measurement that misses its
// bound is taken again, up to kAttackAttempts times in all: an attack the
// server does not withstand misses every time, a stall of the machine
// once.
inline constexpr double kBaselineAllowance = 5.0;
inline constexpr int kAttackAttempts = 3;

// `figure` seconds (scaled under the sanitizers) plus the allowance for
// `baseline_seconds`.
double LoadAwareBound(double figure, double baseline_seconds);

// Raises (or, with `hard`, sets both soft and hard) this process's
// descriptor limit; a server spawned afterwards inherits it.
void SetOwnDescriptorLimit(unsigned long soft, unsigned long hard);

struct ProbeResult {
  int status = 0;         // 0 when no answer came
  double seconds = 0;     // from connect to the status line
};

// One request from `source` on a fresh connection; the status and time of its answer.
// With `tls`, the connection speaks TLS (without checking the certificate).
ProbeResult TimedRequest(const std::string& source, int port, const std::string& request, bool tls = false,
                         int timeout_seconds = 15);

// The median time of `count` answers to `request` from `source`, one after
// another, before any attack: the machine's pace now.
double BaselineSeconds(const std::string& source, int port, const std::string& request, bool tls = false,
                       int count = 10);

// "GET PATH HTTP/1.1" to the server on `port`, Connection: close, plus `extra` header lines.
std::string GetRequest(int port, const std::string& path, const std::string& extra = "");

// The `fraction` quantile (0.5: median) of `seconds`; 0 for none.
double Quantile(std::vector<double> seconds, double fraction);

// Opens `per_second` connections a second from `source` that send nothing
// and read nothing, each held `hold_seconds` (at most `max_held` at once),
// until Stop().
class ConnectionFlood {
 public:
  ConnectionFlood(std::string source, int port, int per_second, double hold_seconds, int max_held);
  ~ConnectionFlood() { Stop(); }
  void Stop();
  int opened() const { return opened_.load(); }

 private:
  void Run();
  const std::string source_;
  const int port_, per_second_, max_held_;
  const double hold_seconds_;
  std::atomic<bool> stop_{false};
  std::atomic<int> opened_{0};
  std::thread thread_;
};

// Asks `request` every `period` from `source` until Stop(); the results.
class Prober {
 public:
  Prober(std::string source, int port, std::string request, std::chrono::milliseconds period, bool tls = false);
  ~Prober() { Stop(); }
  std::vector<ProbeResult> Stop();

 private:
  const std::string source_, request_;
  const int port_;
  const std::chrono::milliseconds period_;
  const bool tls_;
  std::atomic<bool> stop_{false};
  std::vector<ProbeResult> results_;
  std::thread thread_;
};

// A self-signed certificate (cert.pem, key.pem) for 127.0.0.1 in `dir`.
bool MakeTestCertificate(const std::string& dir);

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SERVER_ATTACK_CLIENTS_H_
