// Fuzz target: the machine file reader of the simulated machine. Any text
// either loads or is refused with a message naming a line; a text that loads
// saves to a text that loads back to the same machine.
#include "fuzz/harness.h"

#include "simwin/simctl.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    if (!SimLoadMachineText(text, &error)) {
        FUZZ_CHECK(error.compare(0, 5, "line ") == 0, "refused without a line: " + error);
        return 0;
    }
    const std::string saved = SimSaveMachineText();
    FUZZ_CHECK(SimLoadMachineText(saved, &error), "saved machine not loaded: " + error);
    FUZZ_CHECK(SimSaveMachineText() == saved, "the machine changed on saving and loading");
    return 0;
}
