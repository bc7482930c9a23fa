// The scripted test bundle's one exported function: the PTP module over the scripted layer,
// driven through the folder that ZARV_PTP_SCRIPT_FOLDER names (see ScriptedFolder.h).

#include "Module.h"
#include "ScriptedFolder.h"

#include <cstdlib>

using namespace zarv;

extern "C" __attribute__((visibility("default"))) int32_t
MAIDEntryPoint(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam, uint32_t ulDataType,
               uint64_t data, LPMAIDCompletionProc pfnComplete, uint64_t refComplete) {
    static const bool configured = [] {
        const char* folder = std::getenv("ZARV_PTP_SCRIPT_FOLDER");
        // Kept for the life of the process: cameras' threads may outlive any scope here.
        static auto* layer = new zarv::ptp::scripted::FolderLayer(folder ? folder : "");
        zarv::ptp::Options options;
        options.layer = layer;
        options.pollMs = 50;
        zarv::ptp::setOptions(options);
        return true;
    }();
    (void)configured;
    return zarv::ptp::entry(pObject, ulCommand, ulParam, ulDataType, data, pfnComplete,
                            refComplete);
}
