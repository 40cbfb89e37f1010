#include "server/fair_task_queue.h"

#include <utility>

namespace zimrax::zmfile {

void FairTaskQueue::Push(const std::string& client, Task task) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::deque<Task>& tasks = waiting_[client];
  if (tasks.empty()) turns_.push_back(client);
  tasks.push_back(std::move(task));
  ++size_;
}

std::optional<FairTaskQueue::Task> FairTaskQueue::Pop() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (turns_.empty()) return std::nullopt;
  const std::string client = std::move(turns_.front());
  turns_.pop_front();
  const auto found = waiting_.find(client);
  Task task = std::move(found->second.front());
  found->second.pop_front();
  if (found->second.empty()) {
    waiting_.erase(found);
  } else {
    turns_.push_back(client);  // its next task waits for everyone else's turn
  }
  --size_;
  return task;
}

std::size_t FairTaskQueue::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return size_;
}

}  // namespace zimrax::zmfile
