#include "watchdog/WatchdogHost.h"

int main() { return watchdog::WatchdogMain(watchdog::RealWatchdogHooks()); }
