#include "log/log_writer.h"

// PLACEHOLDER: the writer comes with the logging issue.
unsigned LogWriterThread(void*) { return 0; }
int WriteLogLines(const std::vector<std::string>&) { return 0; }
