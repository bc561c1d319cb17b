// The configuration file: "config.ini" beside the executable, read on
// demand. Every lookup opens, scans and closes the file; nothing is cached,
// so edits take effect at the next lookup. Safe from any thread.
#pragma once

#include <cstdint>

// Copies the value of aKey in the first [aSection] into aBuf (at most
// aSize - 1 bytes, always terminated); one trailing ';' is dropped. Returns
// whether the value was not empty. Sections and keys ignore case.
bool get_string_param(const char* aSection, const char* aKey, char* aBuf, unsigned long aSize);
// Decimal values; 0 when absent, empty or not a number. Out-of-range
// values saturate.
int get_int_param(const char* aSection, const char* aKey);
unsigned short get_uint16_param(const char* aSection, const char* aKey);
uint32_t get_uint32_param(const char* aSection, const char* aKey);
// aDefault when absent or empty; otherwise whether the value is "true"
// (ignoring case).
bool get_bool_param(const char* aSection, const char* aKey, bool aDefault);

// Keep a path or name in a shared text buffer for the embedding program;
// the configuration reader does not use it.
void init_config(const char* aPath);
void set_home_env(const char* aName);
const char* get_config_text();

// Reads configuration from aPath instead of config.ini beside the
// executable; null restores the default. For tests and embedding programs.
void RtSetConfigFile(const char* aPath);
