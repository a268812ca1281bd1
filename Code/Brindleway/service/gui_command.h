// The command pipe's server side: one GuiCommandThread per connected client
// application, one reply per request.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <vector>

#include "Brindleway/common/channel_context.h"
#include "Brindleway/common/channel_ops.h"
#include "platform/pipe/pipe.h"
#include "platform/sync/event.h"
#include "support/command_pipe.h"

namespace brindleway {

// A client that does not take its reply within this is dropped.
inline constexpr int kCommandWriteTimeoutMs = 5000;

// Where the commands go: the channel state and the channel thread.
struct GuiCommandTarget {
  ChannelContext& context;
  ChannelOps& session;
  std::function<bool(uint32_t message, uintptr_t wParam, std::any data)> postToChannel;
};

// Fills reply for one request (request holds at least byte 0).
void ProcessGuiCommand(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, GuiCommandTarget& target);

// Serves one client until it closes its end, sends a message longer than
// the pipe's limit, or stop is set.
void GuiCommandThread(platform::pipe::PipeConnection connection, const platform::Event& stop,
                      GuiCommandTarget& target);

// The 65-byte status reply.
std::vector<uint8_t> EncodeInqueryReply(uint32_t channelState, const ChannelStatus& status);

}  // namespace brindleway
