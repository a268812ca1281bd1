#include "Brindleway/datapath/data_path_threads.h"

#include <utility>

namespace brindleway {

DataPathThreads::DataPathThreads(platform::Event& ioStop, platform::Event& keepAliveStop)
    : ioLoop_(ioStop), keepAlive_(keepAliveStop) {}

DataPathThreads::~DataPathThreads() { Stop(); }

void DataPathThreads::Start(DataPathContext& ctx, TunKeepAliveSenders senders) {
  Stop();
  ctx_ = &ctx;
  ctx.running = true;
  ctx.lastTrafficMs = ctx.NowMs();
  pool_.emplace();
  ioLoop_.Start(ctx);
  keepAlive_.Start(ctx, std::move(senders));
}

void DataPathThreads::Stop() {
  ioLoop_.Stop();
  keepAlive_.Stop();
  if (ctx_ != nullptr) ctx_->running = false;
  ctx_ = nullptr;
  pool_.reset();
}

}  // namespace brindleway
