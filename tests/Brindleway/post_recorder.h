// Records what is posted to the channel thread; safe from any thread.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "Brindleway/channel/keep_alive_threads.h"
#include "common/shared_list.h"

namespace brindleway {

class PostRecorder {
 public:
  using Post = std::pair<uint32_t, uint32_t>;  // message, code

  PostToChannelThread Callback() {
    return [this](uint32_t message, uint32_t code) { posts_.Add({message, code}); };
  }
  std::vector<Post> Posts() const { return posts_.Get(); }
  void Clear() { posts_.Clear(); }

 private:
  vqtest::SharedList<Post> posts_;
};

}  // namespace brindleway
