#include "updater/thimbleset.h"

#include "platform/service/stop_signals.h"
#include "platform/sync/instance_lock.h"
#include "updater/update_check.h"

namespace thimbleset {

int ThimblesetApp::Run(const std::vector<std::string>& words) {
  platform::InstanceLock instance;
  if (instance.Acquire(kInstanceMutex, platform::InstanceLock::Role::Console) != 0) return EXIT_FAILED;
  const std::optional<CommandLine> line = ParseCommandLine(words);
  if (!line) return EXIT_FAILED;
  const int exitCode = RunVerb(*line);
  if (stop_ && stop_->IsSet()) return EXIT_FAILED;
  return exitCode;
}

int ThimblesetApp::RunVerb(const CommandLine& line) {
  switch (line.verb) {
    case Verb::Check:
      switch (RunCheck(line, updateList_, stop_).result) {
        case CHECK_NEWER:
          return EXIT_NEWER;
        case CHECK_NOT_NEWER:
          return EXIT_NOT_NEWER;
        default:
          return EXIT_FAILED;
      }
    case Verb::Update:
      return Update(line);
    case Verb::Other:
      break;
  }
  return EXIT_FAILED;
}

int ThimblesetApp::Update(const CommandLine& line) {
  const CheckOutcome check = RunCheck(line, updateList_, stop_);
  if (check.result != CHECK_NEWER) return EXIT_FAILED;
  installerLength_ = static_cast<uint32_t>(check.installerLength);
  if (!FillDownloadQueue(line.listUrl, updateList_, downloadQueue_)) return EXIT_FAILED;
  return RunProgressDialog();
}

int ThimblesetApp::RunProgressDialog() {
  if (!runner_) return EXIT_FAILED;
  const int exitCode = runner_(downloadQueue_, installerLength_, stop_);
  downloadQueue_.Clear();
  return exitCode;
}

int ThimblesetMain(int argc, char** argv, ProgressRunner runner) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) words.emplace_back(argv[i]);
  HideCredentialArguments(argc, argv);

  platform::service::BlockStopSignals();
  platform::Event stop(platform::Event::Reset::Manual);
  platform::service::StopSignalWatcher watcher([&stop](int) { stop.Set(); });
  ThimblesetApp app(&stop, std::move(runner));
  return app.Run(words);
}

}  // namespace thimbleset
