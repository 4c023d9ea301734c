// The three process-wide objects, defined in one translation unit so that
// they are built before main in this order (console writer, pattern object,
// analyser) and torn down in the reverse order at exit.

#include "analysis/message_analysis.h"
#include "analysis/patterns.h"
#include "driver/console_log.h"

namespace {
ConsoleLog gConsoleLog;
Mailvane gMailvane;
MessageAnalysis gMessageAnalysis(gMailvane);
}  // namespace

ConsoleLog& consoleLog() { return gConsoleLog; }
const Mailvane& mailvane() { return gMailvane; }
MessageAnalysis& messageAnalysis() { return gMessageAnalysis; }
