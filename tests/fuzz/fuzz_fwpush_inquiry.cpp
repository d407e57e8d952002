// Standard inquiry data and the supported diagnostic pages list as fwpush reads them.
#define FWPUSH_NO_MAIN
#include "fwpush.cpp"

#include "vocabulary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The program reads inquiry data into a zeroed buffer of the allocation length: a device
    // may return less, or (a broken one) claim more.
    uint8_t inquiry[INQUIRY_ALLOCATION_LENGTH];
    memset(inquiry, 0, sizeof(inquiry));
    memcpy(inquiry, data, size < sizeof(inquiry) ? size : sizeof(inquiry));
    char field[INQUIRY_FIELD_BUFFER_LENGTH];
    CopyInquiryField(field, sizeof(field), inquiry, SCSI_INQUIRY_VENDOR_OFFSET, SCSI_INQUIRY_VENDOR_LENGTH);
    vocab::Check(strlen(field) <= SCSI_INQUIRY_VENDOR_LENGTH);
    CopyInquiryField(field, sizeof(field), inquiry, SCSI_INQUIRY_PRODUCT_OFFSET, SCSI_INQUIRY_PRODUCT_LENGTH);
    vocab::Check(strlen(field) <= SCSI_INQUIRY_PRODUCT_LENGTH);
    CopyInquiryField(field, sizeof(field), inquiry, SCSI_INQUIRY_REVISION_OFFSET, SCSI_INQUIRY_REVISION_LENGTH);
    vocab::Check(strlen(field) <= SCSI_INQUIRY_REVISION_LENGTH);
    (void)IsEnclosureServicesDevice(inquiry);

    // The pages list straight from the input: its page length may claim more than there is.
    uint8_t wanted = size > 0 ? data[size - 1] : SES_PAGE_DOWNLOAD_MICROCODE;
    bool_t listed = SupportedPagesListed(data, (uint32_t)size, wanted);
    if (listed)
    {
        vocab::Check(size > DIAG_PAGE_HEADER_LENGTH);
        vocab::Check(memchr(data + DIAG_PAGE_HEADER_LENGTH, wanted, size - DIAG_PAGE_HEADER_LENGTH) != NULL);
    }
    return 0;
}
