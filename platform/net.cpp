// The resolver seam of platform/net.h, the same on every system: a test's resolver, when
// one is installed, answers instead of the system's.
#include "platform/net.h"

#include <atomic>

static std::atomic<NetResolver> installed_resolver{nullptr};

int net_resolve_name(const char *name, uint32_t *address)
{
    NetResolver resolver = installed_resolver.load();
    if (resolver != nullptr)
        return resolver(name, address) == 0 ? 0 : -1;
    return net_system_resolve(name, address);
}

void net_set_resolver(NetResolver resolver)
{
    installed_resolver.store(resolver);
}
