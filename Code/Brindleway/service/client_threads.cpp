#include "Brindleway/service/client_threads.h"

namespace brindleway {

void ClientThreads::Start(std::function<void(const platform::Event& stop)> body) {
  ReapFinished();
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([this, body = std::move(body), done] {
    try {
      body(stop_);
    } catch (...) {
      // The body logs its own failures; the thread still ends cleanly.
    }
    *done = true;
  });
  clients_.push_back(Client{std::move(thread), std::move(done)});
}

void ClientThreads::ReapFinished() {
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (*it->done) {
      it->thread.join();
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

size_t ClientThreads::Running() {
  ReapFinished();
  return clients_.size();
}

void ClientThreads::StopAll() {
  stop_.Set();
  for (Client& client : clients_) client.thread.join();
  clients_.clear();
  stop_.Reset();
}

}  // namespace brindleway
