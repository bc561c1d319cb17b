// Starts the framework, runs one event on the network thread, gathers a
// message chain through the system and stops.
#include <cstdio>

#include "RtEventQueue.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtTimeValue.h"
#include "gather.h"

namespace {
class CHello : public IRtEvent {
public:
    RtResult OnEventFire() override {
        std::printf("event ran on the network thread\n");
        return RT_OK;
    }
};
}  // namespace

int main() {
    if (!GatherThroughSystem())
        return 4;
    CRtThreadManager manager;
    if (manager.Initialize(1, false) != RT_OK)
        return 1;
    CRtThread* network = manager.GetDefaultNetworkThread();
    if (!network)
        return 2;
    RtResult rv = network->GetEventQueue()->SendEvent(new CHello);
    CRtTimeValue t(1.5);
    return rv == RT_OK && t.GetTotalInMsec() == 1500 ? 0 : 3;
}
