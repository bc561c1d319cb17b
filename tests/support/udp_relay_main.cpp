// The test kit's lossy relay as a program, for peers in other processes
// (scripts/rudp-cross.sh: a native and a Wine peer).
//   rt_udp_relay --listen PORT --server PORT [--loss P] [--dup P] [--reorder P] [--seed N] [--seconds S]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "RtOs.h"
#include "RtUdpRelay.h"

int main(int argc, char** argv) {
    rttest::UdpRelay::Config c;
    uint16_t listen = 0, server = 0;
    long seconds = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--listen")
            listen = static_cast<uint16_t>(atoi(v));
        else if (k == "--server")
            server = static_cast<uint16_t>(atoi(v));
        else if (k == "--loss")
            c.loss = atof(v);
        else if (k == "--dup")
            c.dup = atof(v);
        else if (k == "--reorder")
            c.reorder = atof(v);
        else if (k == "--seed")
            c.seed = static_cast<uint32_t>(atol(v));
        else if (k == "--seconds")
            seconds = atol(v);
    }
    if (!server) {
        fprintf(stderr, "usage: %s --listen PORT --server PORT [--loss P] [--dup P] [--reorder P] [--seed N]\n",
                argv[0]);
        return 2;
    }
    rttest::UdpRelay relay(server, c, listen);
    printf("RELAY port=%u\n", relay.Port());
    fflush(stdout);
    rtos::SleepMs(static_cast<uint32_t>(seconds * 1000));
    printf("RELAY forwarded c2s=%llu s2c=%llu dropped c2s=%llu s2c=%llu\n",
           static_cast<unsigned long long>(relay.Forwarded(0)), static_cast<unsigned long long>(relay.Forwarded(1)),
           static_cast<unsigned long long>(relay.Dropped(0)), static_cast<unsigned long long>(relay.Dropped(1)));
    return 0;
}
