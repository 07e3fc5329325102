#include "base/options.h"

const char* MainWindowTitle(const Options& options) {
    return options.SetupMode ? "GRAPHICAL ORVANE Setup Utility"
                             : "GRAPHICAL ORVANE File Transfer Utility";
}
