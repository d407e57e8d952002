// fwpush's command line: the input is split at NUL bytes into the arguments after the name.
#define FWPUSH_NO_MAIN
#include "fwpush.cpp"

#include <string>
#include <vector>

#include "vocabulary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args = {"fwpush"};
    std::string current;
    for (size_t i = 0; i < size && args.size() <= MAX_ARGC + 1; i++)
    {
        if (data[i] == '\0')
        {
            args.push_back(current);
            current.clear();
        }
        else
            current += (char)data[i];
    }
    if (args.size() <= MAX_ARGC + 1)
        args.push_back(current);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(NULL);

    CommandOptions_t options;
    DownloadStatus_t status;
    InitOptions(&options, &status);
    int argc = (int)args.size();
    int result = ProcessCommandLine(argc, argv.data(), &options);
    vocab::Check(result == 0 || result == COMMAND_LINE_HELP || result == COMMAND_LINE_VERSION ||
                result == COMMAND_LINE_COUNT_ERROR || (result >= 1 && result < argc));
    if (result == 0)
    {
        vocab::Check(options.maxPageLength >= MIN_MAX_PAGE_LENGTH && options.maxPageLength <= TRANSFER_BUFFER_LENGTH);
        vocab::Check(BlockSize(&options) >= 1 && BlockSize(&options) <= TRANSFER_BUFFER_LENGTH - PAGE_E_HEADER_LENGTH);
        if (CheckRequiredNames(&options))
        {
            vocab::Check(options.deviceFilename != NULL);
            vocab::Check(options.mode == DOWNLOAD_MODE_ACTIVATE_DEFERRED || options.firmwareFilename != NULL);
        }
    }
    return 0;
}
