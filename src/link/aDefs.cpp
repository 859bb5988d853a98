// Model code to model name. Codes 4 to 27 are allocated to the family; unnamed codes are spares.
#include "corvane/aDefs.h"

const char* aDefs_GetModelName(uint8_t model) {
    switch (model) {
    case 4: return "PortHub4";
    case 5: return "PortHub8";
    case 6: return "PowerCube";
    case 7: return "RelayDeck";
    case 8: return "SignalProbe";
    case 10: return "HubSeven";
    case 11: return "LoadBench";
    case 12: return "PDSwitch";
    case 13: return "PowerCubePro";
    case 15: return "PortHub16";
    case 16: return "SwitchPanel";
    case 17: return "CurrentMeter";
    case 19: return "RouterBridge";
    case 20: return "TempProbe";
    case 22: return "PDAnalyzer";
    case 24: return "PortHub3";
    case 26: return "BenchSupply";
    default: return "Unknown";
    }
}
