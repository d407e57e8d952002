// The download microcode status page as fwpush decodes it, from any bytes a device returns.
#define FWPUSH_NO_MAIN
#include "fwpush.cpp"

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The input is exactly the buffer, so that a read past its end is caught.
    DownloadStatus_t status;
    memset(&status, 0, sizeof(status));
    OSW_STATUS result = DecodePageEStatus(data, (uint32_t)size, &status);
    if (result == OSW_STATUS_SUCCESS)
    {
        fuzz::Check(size >= PAGE_E_STS_DECODED_LENGTH && data[PAGE_E_STS_PAGE_CODE] == SES_PAGE_DOWNLOAD_MICROCODE);
        fuzz::Check(status.pageLen >= PAGE_E_STATUS_MIN_PAGE_LENGTH);
        fuzz::Check(status.downloadStatus == data[PAGE_E_STS_STATUS]);
        fuzz::Check(status.expectedOffset == DA_GetField_BE32(data, PAGE_E_STS_EXPECTED_OFFSET));
        // What the program does with the decoded values next.
        (void)IsBusyStatus(status.downloadStatus);
        char message[BLOCK_VERDICT_MESSAGE_LENGTH];
        uint32_t sends = size % (MAX_BLOCK_RESENDS + 2) + 1;
        BlockVerdict_t verdict = DecideBlockAttempt((bool_t)(size & 1), &status, (uint32_t)size, (uint32_t)size * 4,
                                                    (uint32_t)size, sends, message, sizeof(message));
        fuzz::Check(memchr(message, '\0', sizeof(message)) != NULL);
        fuzz::Check(verdict != BLOCK_RESEND || sends <= MAX_BLOCK_RESENDS);
    }
    else
    {
        fuzz::Check(result == PAGE_E_STATUS_TOO_SHORT || result == PAGE_E_STATUS_WRONG_PAGE);
    }
    return 0;
}
