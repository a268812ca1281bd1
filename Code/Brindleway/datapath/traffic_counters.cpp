#include "Brindleway/datapath/traffic_counters.h"

namespace brindleway {

void TrafficCounters::Clear() {
  bytesSent.Set(0);
  packetsSent.Set(0);
  bytesReceived.Set(0);
  packetsReceived.Set(0);
}

TrafficCounters& TheTrafficCounters() {
  static TrafficCounters counters(support::SendByteCounter(), support::RecvByteCounter());
  return counters;
}

void FillTrafficStatus(ChannelStatus& status, const TrafficCounters& counters, CIpComp& ipComp) {
  status.packetsReceived = counters.packetsReceived.Get();
  status.packetsSent = counters.packetsSent.Get();
  status.bytesReceived = counters.bytesReceived.Get();
  status.bytesSent = counters.bytesSent.Get();
  status.compression0 = ipComp.GetAlgorithm();
  status.compression[0] = ipComp.GetInboundAfterDecompression();
  status.compression[1] = ipComp.GetInboundGained();
  status.compression[2] = ipComp.GetOutboundBeforeCompression();
  status.compression[3] = ipComp.GetOutboundSaved();
}

void FillTrafficStatus(ChannelStatus& status) { FillTrafficStatus(status, TheTrafficCounters(), TheIpComp()); }

}  // namespace brindleway
