// Gives each settings test an empty store of its own: a fresh XDG_CONFIG_HOME folder on
// Linux, the Kestrel key deleted from the prefix's registry under Wine.
#pragma once
#include <string>

void store_env_reset(void);

// Removes what the last reset made and the test left there.
void store_env_cleanup(void);

// The file behind the store, or "" where the store is the real registry.
std::string store_env_file(void);

// True when the store has no trace at all of Kestrel (no folder, no key).
bool store_env_untouched(void);
