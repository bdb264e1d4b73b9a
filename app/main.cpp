#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/globals.h"
#include "app/run_driver.h"
#include "app/startup.h"
#include "platform/interrupt.h"

int main(int argc, char** argv) {
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
  // shell reports for a process ended by SIGINT.
  platform::InstallInterruptHandling();

  CommandLine cl = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  g_strOid = cl.oid;
  RunReport report;
  RunScan(cl.targets, &report);
  if (platform::Interrupted()) return 130;
  // Data gathered but not saved is a failure the caller must see.
  return report.result_files_not_written > 0 || !report.summary_written ? 2 : 0;
}
