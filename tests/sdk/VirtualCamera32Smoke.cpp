// Built for i386 when the toolchain can: loads the i386 virtual camera and walks the contract
// far enough to show that the other-architecture bundle works (open, capability list, camera,
// a picture in pieces). Standard C++ only. Exit status 0 on success.

#include "sdk/Maid.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include <dlfcn.h>

using namespace zarv;

namespace {

LPMAIDEntryPointProc entry = nullptr;
uint32_t completions = 0;
std::vector<uint32_t> added;
uint64_t received = 0;

void complete(tagNkMAIDObject*, uint32_t, uint32_t, uint32_t, uint64_t, uint64_t, int32_t) {
    ++completions;
}

void onEvent(uint64_t, uint32_t event, uint64_t data) {
    if (event == kNkMAIDEvent_AddChild)
        added.push_back(uint32_t(data));
}

int32_t onData(uint64_t, void* info, void*) {
    received += static_cast<tagNkMAIDFileInfo*>(info)->ulLength;
    return 0;
}

int32_t call(tagNkMAIDObject* o, uint32_t cmd, uint32_t param, uint32_t type, uint64_t data) {
    const uint32_t before = completions;
    const int32_t r = entry(o, cmd, param, type, data, complete, 1);
    for (int i = 0; i < 100000 && completions == before; ++i)
        entry(o, kNkMAIDCommand_Async, 0, 0, 0, nullptr, 0);
    return completions == before ? -1000 : r;
}

int fail(const char* what) {
    std::fprintf(stderr, "i386 virtual camera: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    static_assert(sizeof(void*) == 4, "this check is for the 32-bit build");
    if (argc != 2)
        return fail("usage: smoke MODULE");
    void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return fail(dlerror());
    entry = reinterpret_cast<LPMAIDEntryPointProc>(dlsym(handle, "MAIDEntryPoint"));
    if (!entry)
        return fail("no MAIDEntryPoint");
    tagNkMAIDObject module{}, source{}, item{}, data{};
    if (entry(nullptr, kNkMAIDCommand_Open, 0, kNkMAIDDataType_ObjectPtr, ptrToWord(&module),
              nullptr, 0) != 0 ||
        module.ulType != kNkMAIDObjectType_Module)
        return fail("the module does not open");
    uint32_t count = 0;
    if (call(&module, kNkMAIDCommand_GetCapCount, 0, kNkMAIDDataType_UnsignedPtr,
             ptrToWord(&count)) != 0 ||
        count == 0)
        return fail("no capabilities");
    std::vector<tagNkMAIDCapInfo> caps(count);
    if (call(&module, kNkMAIDCommand_GetCapInfo, count, kNkMAIDDataType_CapInfoPtr,
             ptrToWord(caps.data())) != 0)
        return fail("no capability list");
    tagNkMAIDCallback events{ptrToWord(reinterpret_cast<void*>(&onEvent)), 0};
    call(&module, kNkMAIDCommand_CapSet, kNkMAIDCapability_EventProc, kNkMAIDDataType_CallbackPtr,
         ptrToWord(&events));
    call(&module, kNkMAIDCommand_EnumChildren, 0, 0, 0);
    if (added.size() != 1)
        return fail("no camera announced");
    if (entry(&module, kNkMAIDCommand_Open, added[0], kNkMAIDDataType_ObjectPtr, ptrToWord(&source),
              nullptr, 0) != 0)
        return fail("the camera does not open");
    added.clear();
    call(&source, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture, 0, 0);
    call(&source, kNkMAIDCommand_CapSet, kNkMAIDCapability_EventProc, kNkMAIDDataType_CallbackPtr,
         ptrToWord(&events));
    call(&source, kNkMAIDCommand_EnumChildren, 0, 0, 0);
    if (added.empty() ||
        entry(&source, kNkMAIDCommand_Open, added[0], kNkMAIDDataType_ObjectPtr, ptrToWord(&item),
              nullptr, 0) != 0 ||
        entry(&item, kNkMAIDCommand_Open, kNkMAIDDataObjType_Image, kNkMAIDDataType_ObjectPtr,
              ptrToWord(&data), nullptr, 0) != 0)
        return fail("the picture does not open");
    tagNkMAIDCallback dataProc{ptrToWord(reinterpret_cast<void*>(&onData)), 0};
    call(&data, kNkMAIDCommand_CapSet, kNkMAIDCapability_DataProc, kNkMAIDDataType_CallbackPtr,
         ptrToWord(&dataProc));
    if (call(&data, kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, 0, 0) != 0 ||
        received < 1000)
        return fail("the picture did not arrive");
    entry(&module, kNkMAIDCommand_Close, 0, 0, 0, nullptr, 0);
    std::printf("i386 virtual camera: %u capabilities, picture of %llu bytes\n", count,
                static_cast<unsigned long long>(received));
    return 0;
}
