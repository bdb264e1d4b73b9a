#include "app/startup.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/process.h"
#include "platform/text_encoding.h"

static const char kUsage[] =
    "usage: mibscan [OPTION...] [--] [FORMS]\n"
    "       mibscan --diff [--all] OLD NEW\n"
    "\n"
    "forms:\n"
    "  (none)                 no targets: prepares the log directory only\n"
    "  TARGET[,TARGET...]     one argument: targets separated by commas\n"
    "  TARGET TARGET...       several arguments: one target each\n"
    "  oid OID TARGET         one get of OID from TARGET\n"
    "options (only before the forms; -- ends them):\n"
    "  --dir DIR              read config.ini and accounts.csv from DIR and write the\n"
    "                         result files and log/ there (default: beside the\n"
    "                         executable; the current directory when it is installed\n"
    "                         in /usr/bin or the like)\n"
    "  --targets FILE         also scan the targets in FILE (\"-\": standard input), one a\n"
    "                         line, before those of the command line; blank lines and\n"
    "                         lines starting with # are skipped\n"
    "  --shard K/N            scan only the targets of shard K of N (1 <= K <= N); N\n"
    "                         machines with K = 1..N scan each target of one list once\n"
    "  --diff [--all] OLD NEW what changed between two result folders (or two result\n"
    "                         files), as CSV; --all keeps counters and sysUpTime.0\n"
    "  --resume               scan only the targets that summary.csv (and shard summaries)\n"
    "                         in the folder do not show answered or empty\n"
    "  -h, --help             this text\n"
    "  --version              the version\n"
    "Settings come from config.ini and accounts.csv in that folder;\n"
    "one result file TARGET.xml per target is written there.\n";

bool HandleInfoOption(const char* arg) {
  if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
    fputs(kUsage, stdout);
    return true;
  }
  if (strcmp(arg, "--version") == 0) {
    printf("mibscan %s\n", MIBSCAN_VERSION);
    return true;
  }
  return false;
}

bool StartupProcess() {
  // The console only reports: a reader that went away (`mibscan ... | head`)
  // must cost that write, not the whole run with every result file still to
  // be written.
  signal(SIGPIPE, SIG_IGN);
  if (!platform::InitTextEncoding()) return false;
  platform::RaiseOpenFileLimit();
  return true;
}

bool StartupLibraries() {
  xmlInitParser();
  // A document that can be made and freed shows the library is usable.
  xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
  if (!doc) return false;
  xmlFreeDoc(doc);
  return true;
}
