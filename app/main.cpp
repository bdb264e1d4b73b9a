#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/result_diff.h"
#include "app/run_driver.h"
#include "app/startup.h"
#include "app/target_list.h"
#include "app/targets.h"
#include "platform/interrupt.h"
#include "platform/process.h"

namespace {

int RefuseArguments(const std::string& message) {
  fprintf(stderr, "mibscan: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // First of all: with a console descriptor closed (cron, some supervisors),
  // the next file opened would take its number and receive console text.
  platform::FillClosedStandardDescriptors();
  if (argc == 2 && HandleInfoOption(argv[1])) return 0;

  std::vector<std::string> args(argv + 1, argv + argc);
  if (IsDiffCommand(args)) return RunDiffCommand(args);
  RunOptions options;
  std::string error;
  if (!TakeOptions(&args, &options, &error)) return RefuseArguments(error);
  if (options.help || options.version) {
    HandleInfoOption(options.help ? "--help" : "--version");
    return 0;
  }
  std::error_code ec;
  if (!options.dir.empty() && !std::filesystem::is_directory(options.dir, ec))
    return RefuseArguments("--dir: " + options.dir + ": not an existing directory");
  CommandLine cl = ParseCommandLine(args);
  std::vector<std::string> targets;
  if (!AssembleTargets(options, cl.targets, &targets, &error)) return RefuseArguments(error);

  if (!StartupProcess()) {
    fputs("致命的なエラー: GetModuleHandle が失敗しました\n", stdout);
    return 1;
  }
  if (!StartupLibraries()) {
    fputs("致命的なエラー: MFC の初期化が失敗しました\n", stdout);
    return 1;
  }

  // Before any thread exists, so every thread inherits the handling. An
  // interrupted run still writes what it gathered; its exit code is the one a
  // shell reports for a process ended by that signal.
  platform::InstallInterruptHandling();

  const std::vector<std::string> usable = UsableTargets(targets);
  // A list that came to nothing (a file of comments, an empty standard input,
  // a shard without a share) is said, and no earlier run's files are touched.
  if (usable.empty() && (!options.targets_file.empty() || options.shard_count > 0)) {
    fputs("mibscan: no targets\n", stderr);
    return 0;
  }

  RunReport report;
  if (!RunScan(usable, options, cl.oid, &report)) return 1;
  if (const int signo = platform::InterruptSignal()) return 128 + signo;
  // Data gathered but not saved is a failure the caller must see.
  return report.result_files_not_written > 0 || !report.summary_written ? 2 : 0;
}
