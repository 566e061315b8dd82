#pragma once

// Whether the application shows a Dock (or taskbar) entry of its own. It runs
// as an accessory (tray only) except while the main window is open. Where the
// desktop has no such switch (Linux: every window has its own taskbar entry)
// the hook only records the value.
namespace ActivationPolicy {

enum class Policy {
    Accessory, // tray only, no Dock icon, no main menu
    Regular, // an ordinary application with a Dock icon
};

void set(Policy policy);
Policy current();

} // namespace ActivationPolicy
