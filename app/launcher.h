#pragma once

#include "platform/networkaddresses.h"

#include <functional>

class MainWindow;

// What a test may change in a launcher run; the launcher itself sets none.
struct LauncherHooks
{
    // Called once the application object exists, before the one-launcher
    // check.
    std::function<void()> created;
    // Called once the application object exists, before the controller is
    // built; gives the hosts to use instead of the built-in ones.
    std::function<NetworkAddresses()> addresses;
    // Called once the controller is built, before the event loop.
    std::function<void(MainWindow &)> started;
};

// The whole program, from the application object to the last way out: the
// one-launcher check, the built-in CAs, the controller, the event loop and
// the stop after it. Whatever way it ends, the exit status is 0.
int runLauncher(int &argc, char **argv, const LauncherHooks &hooks = {});
