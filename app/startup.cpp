#include "app/startup.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/process.h"
#include "platform/text_encoding.h"

static const char kUsage[] =
    "usage: mibscan                      (no targets: prepares the log directory only)\n"
    "       mibscan TARGET[,TARGET...]   (one argument: targets separated by commas)\n"
    "       mibscan TARGET TARGET...     (several arguments: one target each)\n"
    "       mibscan oid OID TARGET       (one get of OID from TARGET)\n"
    "       mibscan -h | --help | --version\n"
    "Settings come from config.ini and accounts.csv beside the executable;\n"
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
