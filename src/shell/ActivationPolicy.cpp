#include "shell/ActivationPolicy.h"

#include <atomic>

namespace ActivationPolicy {

namespace {
std::atomic<Policy> g_policy{Policy::Regular};
} // namespace

void set(Policy policy)
{
    // No platform call on Linux: the main window's own taskbar entry is what
    // a Dock icon is elsewhere.
    g_policy = policy;
}

Policy current()
{
    return g_policy;
}

} // namespace ActivationPolicy
