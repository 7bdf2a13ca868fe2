#pragma once
namespace dm::arm {
class SwitchTraffic {
public:
    static inline bool DryRun = false;
    static void setDryRun() { DryRun = true; }
};
}  // namespace dm::arm
