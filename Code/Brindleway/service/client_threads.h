// The command pipe's client threads: each one is tracked, finished ones are
// joined as new ones start, and StopAll() ends and joins the rest, so no
// thread outlives the objects it serves.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <thread>

#include "platform/sync/event.h"

namespace brindleway {

class ClientThreads {
 public:
  ClientThreads() = default;
  ~ClientThreads() { StopAll(); }
  ClientThreads(const ClientThreads&) = delete;
  ClientThreads& operator=(const ClientThreads&) = delete;

  // Starts body(stop) on a new thread; throws std::system_error when no
  // thread can be made.
  void Start(std::function<void(const platform::Event& stop)> body);
  // Sets the stop event the bodies wait on and joins every thread.
  void StopAll();
  size_t Running();

 private:
  struct Client {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void ReapFinished();

  platform::Event stop_{platform::Event::Reset::Manual};
  std::list<Client> clients_;
};

}  // namespace brindleway
