// Counts calls of the global operator new in a program that links
// RtAllocationCounter.cpp (which replaces the global allocator).
#pragma once

long RtAllocationCount();
