// The loader status service: its body (AppMain), the service object, and
// the command line.
#pragma once

#include "NTService.h"

class CZVAppLdrService : public CNTService {
public:
    ~CZVAppLdrService() override;
    int Run(int aArgc, char** aArgv) override;
    // Stops the listener, then, three seconds later, the main loop.
    void OnExit() override;
};

// Starts the framework and the status endpoint, then runs the main thread's
// loop until it is told to stop. 0 after a stop, -1 or -2 when the instance
// mutex could not be made or exists, or the listener's failure code.
int AppMain();

// The program's entry: "-i", "-u", "-d" or nothing (see main.cpp).
int ServiceEntry(int aArgc, char** aArgv);
