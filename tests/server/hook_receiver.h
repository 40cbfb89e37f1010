// Test support: a loopback HTTP receiver for hooks. It accepts on
// 127.0.0.1 (a free port), reads each POST, keeps its body, and answers
// with the status and body its responder gives, after an optional delay.
#ifndef ZIMRAX_TESTS_SERVER_HOOK_RECEIVER_H_
#define ZIMRAX_TESTS_SERVER_HOOK_RECEIVER_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zimrax::testing {

struct ReceiverAnswer {
  int status = 200;
  std::string body;
  std::chrono::milliseconds delay{0};  // before the answer
};

class HookReceiver {
 public:
  // `respond` is called with the request number (from 0) and its body.
  using Responder = std::function<ReceiverAnswer(int number, const std::string& body)>;

  explicit HookReceiver(Responder respond);
  // Stops accepting and waits for the connection being answered.
  ~HookReceiver();

  int port() const { return port_; }
  std::string Url(const std::string& path = "/hook") const;
  // The bodies received so far, in order.
  std::vector<std::string> Bodies() const;
  int count() const { return count_.load(); }

 private:
  void Serve();
  void Answer(int fd);

  Responder respond_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> count_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> bodies_;
  std::thread thread_;
};

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SERVER_HOOK_RECEIVER_H_
