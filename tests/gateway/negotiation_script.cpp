#include "gateway/negotiation_script.h"

#include <memory>

namespace vqgw {
namespace {

Bytes KeyReplyOfType(KeyReplyOptions key, uint16_t type, uint8_t version) {
  key.type = type;
  return WithVersion(KeyReply(key), version);
}

}  // namespace

Responder IdleResponder(const NegotiationOptions& options) {
  const uint8_t version = options.version;
  const KeyReplyOptions key = options.key;
  const bool answersHeartBeats = (version & 0xF0) < kVersion2;
  const int limit = options.heartBeats;
  auto answered = std::make_shared<int>(0);
  return [=](const Message& request) -> std::vector<Bytes> {
    if ((request.flags & kFlagResponse) != 0) return {};
    if (request.type == kMsgRekey) return {KeyReplyOfType(key, kMsgRekey, version)};
    if (request.type == kMsgKeepAlive && answersHeartBeats && (limit < 0 || *answered < limit)) {
      ++*answered;
      return {WithVersion(HeartBeatReply(1), version)};
    }
    return {};
  };
}

std::vector<Action> HappyPathScript(const NegotiationOptions& options) {
  const uint8_t version = options.version;
  auto send = [version](Bytes message) { return Action::Send(WithVersion(std::move(message), version)); };

  const std::vector<std::pair<Step, std::vector<Action>>> steps = {
      {Step::ReadLogin, {Action::Read(1)}},
      {Step::LoginReply, {send(LoginReply(options.login))}},
      {Step::ReadClientInfo, {Action::Read(1)}},
      {Step::ClientInfoReply, {send(ClientInfoReply(options.clientInfo))}},
      {Step::SetIp, {send(SetIp(options.setIp))}},
      {Step::SetRoute, {send(SetRoute(options.routes))}},
      {Step::KeyDone, {send(options.keyDoneStatus ? KeyDone(*options.keyDoneStatus) : KeyDoneWithoutStatus())}},
      {Step::ReadNewKey, {Action::Read(1)}},
      {Step::KeyReply, {Action::Send(KeyReplyOfType(options.key, kMsgNewKey, version))}},
      {Step::Idle, {Action::Respond(IdleResponder(options))}},
  };

  std::vector<Action> script;
  for (const auto& [step, actions] : steps) {
    if (auto extra = options.insertBefore.find(step); extra != options.insertBefore.end()) {
      script.insert(script.end(), extra->second.begin(), extra->second.end());
    }
    const auto replaced = options.replace.find(step);
    const std::vector<Action>& chosen = replaced != options.replace.end() ? replaced->second : actions;
    script.insert(script.end(), chosen.begin(), chosen.end());
  }
  return script;
}

vqgateway::EspPeerConfig EspPeerConfigFor(const KeyRequest& request, const KeyReplyOptions& reply) {
  vqgateway::EspPeerConfig config;
  if (reply.encryption) config.encryptionId = *reply.encryption;
  if (reply.hash) config.hashId = *reply.hash;
  config.gatewaySpi = reply.gatewaySpi.value_or(0);
  config.clientSpi = request.clientSpi.value_or(0);
  if (request.keyBlock) config.keyBlock = *request.keyBlock;
  return config;
}

}  // namespace vqgw
