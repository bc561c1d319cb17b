// Gathers a message chain with the system's own call: FillIov's array is
// handed over as it is. Prints what went wrong and returns false on failure.
#pragma once

bool GatherThroughSystem();
