// The simulator's text inputs: the state directory's configuration file and fault files. What
// is read back must survive being written and read again.
#include <cstdint>
#include <string>

#include "vocabulary.h"
#include "sesim_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    sesim::Config config;
    if (sesim::ParseConfig(text, &config, &error))
    {
        std::string written = sesim::FormatConfig(config);
        sesim::Config again;
        vocab::Check(sesim::ParseConfig(written, &again, &error));
        vocab::Check(sesim::FormatConfig(again) == written);
    }
    sesim::Config faults;
    if (sesim::ParseFaultFile(text, &faults, &error))
    {
        for (uint32_t i = 0; i < faults.faultCount; i++)
        {
            sesim::FaultSpec reread;
            vocab::Check(sesim::ParseFault(sesim::FormatFault(faults.faults[i]), &reread, &error));
            vocab::Check(sesim::FormatFault(reread) == sesim::FormatFault(faults.faults[i]));
        }
    }
    return 0;
}
