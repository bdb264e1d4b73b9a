#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/globals.h"
#include "app/run_driver.h"
#include "app/startup.h"
#include "app/targets.h"
#include "platform/interrupt.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  // First of all: with a console descriptor closed (cron, some supervisors),
  // the next file opened would take its number and receive console text.
  platform::FillClosedStandardDescriptors();
  if (argc == 2 && HandleInfoOption(argv[1])) return 0;

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

  CommandLine cl = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  g_strOid = cl.oid;
  if (!RunScan(UsableTargets(cl.targets))) return 1;
  if (const int signo = platform::InterruptSignal()) return 128 + signo;
  return 0;
}
