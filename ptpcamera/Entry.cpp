// The bundle's one exported function. Pictures already on the card become items too when
// ZARV_PTP_LIST_CARD is set to 1.

#include "Module.h"

#include <cstdlib>
#include <cstring>

using namespace zarv;

extern "C" __attribute__((visibility("default"))) int32_t
MAIDEntryPoint(tagNkMAIDObject* pObject, uint32_t ulCommand, uint32_t ulParam, uint32_t ulDataType,
               uint64_t data, LPMAIDCompletionProc pfnComplete, uint64_t refComplete) {
    static const bool configured = [] {
        zarv::ptp::Options options;
        const char* list = std::getenv("ZARV_PTP_LIST_CARD");
        options.listCard = list && std::strcmp(list, "1") == 0;
        zarv::ptp::setOptions(options);
        return true;
    }();
    (void)configured;
    return zarv::ptp::entry(pObject, ulCommand, ulParam, ulDataType, data, pfnComplete,
                            refComplete);
}
