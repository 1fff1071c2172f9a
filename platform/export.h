// Names of the interface that share one implementation. The Windows export table makes
// them aliases of the implementation's export; an ELF library needs alias symbols, which
// must be defined in the implementation's own file.
#pragma once

#ifdef _WIN32
#define KESTREL_EXPORT_ALIAS(result, name, params, target)
#else
#define KESTREL_EXPORT_ALIAS(result, name, params, target) \
    extern "C" result name params __attribute__((alias(#target)));
#endif
