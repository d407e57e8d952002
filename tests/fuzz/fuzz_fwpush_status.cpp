// The download microcode status page as fwpush decodes it, from any bytes a device returns.
#define FWPUSH_NO_MAIN
#include "fwpush.cpp"

#include "vocabulary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The input is exactly the buffer, so that a read past its end is caught.
    DownloadStatus_t status;
    memset(&status, 0, sizeof(status));
    OSW_STATUS result = DecodePageEStatus(data, (uint32_t)size, &status);
    if (result == OSW_STATUS_SUCCESS)
    {
        vocab::Check(size >= PAGE_E_STS_DECODED_LENGTH && data[PAGE_E_STS_PAGE_CODE] == SES_PAGE_DOWNLOAD_MICROCODE);
        vocab::Check(status.pageLen >= PAGE_E_STATUS_MIN_PAGE_LENGTH);
        vocab::Check(status.downloadStatus == data[PAGE_E_STS_STATUS]);
        vocab::Check(status.expectedOffset == DA_GetField_BE32(data, PAGE_E_STS_EXPECTED_OFFSET));
        // What the program does with the decoded values next.
        (void)IsBusyStatus(status.downloadStatus);
        (void)OffsetMatches(status.expectedOffset, (uint32_t)size);
    }
    else
        vocab::Check(result == PAGE_E_STATUS_TOO_SHORT || result == PAGE_E_STATUS_WRONG_PAGE);
    return 0;
}
