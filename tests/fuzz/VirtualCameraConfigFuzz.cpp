// The virtual camera's configuration file is hand-written: any text must parse without harm,
// every line that is not used must be reported, and what is accepted must be usable as it is
// (no zero divisors, no senseless intervals).

#include "FuzzSupport.h"

#include "Config.h"

#include <cmath>
#include <regex>
#include <string>

using namespace zarv::vcam;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> errors;
    const Config c = parseConfig(text, &errors);

    FUZZ_CHECK(c.pieceSize > 0, "a piece size of 0 was accepted");
    FUZZ_CHECK(c.rowBytes > 0, "a row size of 0 was accepted");
    FUZZ_CHECK(std::isfinite(c.autoShotInterval) && c.autoShotInterval >= 0,
               "the shot interval %g was accepted", c.autoShotInterval);
    FUZZ_CHECK(c.model.size() <= 255, "a model name of %zu bytes was accepted", c.model.size());
    FUZZ_CHECK(c.pictureSize <= UINT32_MAX, "a picture size beyond 4 GiB was accepted");
    for (const std::string& e : errors)
        FUZZ_CHECK(e.rfind("line ", 0) == 0, "a problem without its line: %s", e.c_str());

    // A lone count written in decimal digits means that number, leading zeros or not.
    static const std::regex decimal(R"(^pictures *= *([0-9]{1,9}) *\n?$)");
    std::smatch m;
    if (std::regex_match(text, m, decimal))
        FUZZ_CHECK(c.pictures == std::stoul(m[1].str(), nullptr, 10), "'%s' read as %u",
                   m[1].str().c_str(), c.pictures);
    return 0;
}
