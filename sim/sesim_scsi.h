// SCSI, SPC and SES names used by the simulated enclosure. The simulator keeps its own copy so
// that it depends on nothing in the product it is used to test.
#ifndef SESIM_SCSI_H
#define SESIM_SCSI_H

#include <cstddef>
#include <cstdint>

namespace sesim
{

// Operation codes (SPC, SES)
constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpRequestSense = 0x03;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpModeSense6 = 0x1A;
constexpr uint8_t kOpReceiveDiagnosticResults = 0x1C;
constexpr uint8_t kOpSendDiagnostic = 0x1D;
constexpr uint8_t kOpReadCapacity10 = 0x25;
constexpr uint8_t kOpWriteBuffer = 0x3B;
constexpr uint8_t kOpReadBuffer = 0x3C;
constexpr uint8_t kOpModeSense10 = 0x5A;
constexpr uint8_t kOpReportLuns = 0xA0;

// Status byte values (SAM)
constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kStatusBusy = 0x08;
constexpr uint8_t kStatusReservationConflict = 0x18;

// Sense keys (SPC)
constexpr uint8_t kSenseNoSense = 0x0;
constexpr uint8_t kSenseNotReady = 0x2;
constexpr uint8_t kSenseHardwareError = 0x4;
constexpr uint8_t kSenseIllegalRequest = 0x5;
constexpr uint8_t kSenseUnitAttention = 0x6;
constexpr uint8_t kSenseAbortedCommand = 0xB;

// Additional sense codes (ASC, ASCQ) the model reports
constexpr uint8_t kAscParameterListLengthError = 0x1A;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr uint8_t kAscInvalidFieldInParameterList = 0x26;
constexpr uint8_t kAscPowerOnOrReset = 0x29;
constexpr uint8_t kAscOperatingConditionsChanged = 0x3F;
constexpr uint8_t kAscqMicrocodeChanged = 0x01;
constexpr uint8_t kAscInternalTargetFailure = 0x44;
constexpr uint8_t kAscLogicalUnitNotReady = 0x04;
constexpr uint8_t kAscqPowerOn = 0x01;
constexpr uint8_t kAscqBusReset = 0x02;
constexpr uint8_t kAscqDeviceReset = 0x03;

// Sense data formats (SPC)
constexpr uint8_t kSenseFixedCurrent = 0x70;
constexpr uint8_t kSenseDescriptorCurrent = 0x72;
constexpr size_t kFixedSenseLength = 18;
constexpr size_t kDescriptorSenseHeaderLength = 8;
constexpr uint8_t kSenseKeySpecificDescriptor = 0x02;
constexpr uint8_t kSenseKeySpecificDescriptorLength = 6;
constexpr uint8_t kSksValid = 0x80;
constexpr uint8_t kSksCommandData = 0x40; // the field pointer points into the CDB
constexpr uint8_t kSksBitPointerValid = 0x08;

// CONTROL byte bits (SAM): normal ACA and the obsolete LINK bit are not supported.
constexpr uint8_t kControlNaca = 0x04;
constexpr uint8_t kControlLink = 0x01;

// INQUIRY
constexpr uint8_t kInquiryEvpd = 0x01;
constexpr uint8_t kInquiryCmdDt = 0x02;
constexpr uint8_t kInquiryVersionSpc4 = 0x06;
constexpr uint8_t kInquiryHiSup = 0x10;
constexpr uint8_t kInquiryResponseFormat = 0x02;
constexpr uint8_t kInquiryEncServ = 0x40;
constexpr uint8_t kInquiryCmdQue = 0x02;
constexpr size_t kStandardInquiryLength = 36;
constexpr uint8_t kVpdSupportedPages = 0x00;
constexpr uint8_t kVpdUnitSerialNumber = 0x80;
constexpr uint8_t kVpdDeviceIdentification = 0x83;
constexpr uint8_t kPeripheralTypeEnclosure = 0x0D;
constexpr uint8_t kPeripheralTypeMask = 0x1F;

// REQUEST SENSE: the DESC bit asks for descriptor-format sense data.
constexpr uint8_t kRequestSenseDesc = 0x01;

// SEND DIAGNOSTIC byte 1
constexpr uint8_t kSendDiagSelfTestCodeMask = 0xE0;
constexpr unsigned kSendDiagSelfTestCodeShift = 5;
constexpr uint8_t kSendDiagPf = 0x10;
constexpr uint8_t kSendDiagSelfTest = 0x04;
// RECEIVE DIAGNOSTIC RESULTS byte 1
constexpr uint8_t kReceiveDiagPcv = 0x01;

// Diagnostic page codes (SPC, SES)
constexpr uint8_t kPageSupportedDiagnostic = 0x00;
constexpr uint8_t kPageConfiguration = 0x01;
constexpr uint8_t kPageEnclosureStatus = 0x02; // enclosure control when sent
constexpr uint8_t kPageElementDescriptor = 0x07;
constexpr uint8_t kPageDownloadMicrocode = 0x0E;
constexpr uint8_t kPageAdditionalElementStatus = 0x0A;
constexpr size_t kDiagPageHeaderLength = 4;

// SES element types and status codes of the element inventory
constexpr uint8_t kElementEnclosureServicesController = 0x07;
constexpr uint8_t kElementEnclosure = 0x0E;
constexpr uint8_t kElementArrayDeviceSlot = 0x17;
constexpr uint8_t kElementStatusOk = 0x01;

// Download microcode control page (SES)
constexpr size_t kMicrocodeControlHeaderLength = 24;
constexpr size_t kMicrocodeControlPageLengthMin = 20; // the page length field of a page without data
constexpr uint8_t kFieldSubenclosure = 1;
constexpr uint8_t kFieldPageLength = 2;
constexpr uint8_t kFieldGenerationCode = 4;
constexpr uint8_t kFieldMode = 8;
constexpr uint8_t kFieldBufferId = 11;
constexpr uint8_t kFieldBufferOffset = 12;
constexpr uint8_t kFieldImageLength = 16;
constexpr uint8_t kFieldDataLength = 20;
// Download microcode modes
constexpr uint8_t kModeDownloadSaveActivate = 0x07;
constexpr uint8_t kModeDownloadSaveDefer = 0x0E;
constexpr uint8_t kModeActivateDeferred = 0x0F;
// Download microcode status page: one 16-byte descriptor per subenclosure after an 8-byte header
constexpr size_t kMicrocodeStatusHeaderLength = 8;
constexpr size_t kMicrocodeStatusDescriptorLength = 16;
// Download microcode status codes
constexpr uint8_t kDlIdle = 0x00;
constexpr uint8_t kDlInProgress = 0x01;
constexpr uint8_t kDlUpdatingStorage = 0x02;
constexpr uint8_t kDlUpdatingDeferredStorage = 0x03;
constexpr uint8_t kDlCompleteActive = 0x10;
constexpr uint8_t kDlCompleteAfterReset = 0x11;
constexpr uint8_t kDlCompleteAfterPowerOn = 0x12;
constexpr uint8_t kDlCompleteDeferred = 0x13;
constexpr uint8_t kDlFieldError = 0x80;
constexpr uint8_t kDlImageError = 0x81;
constexpr uint8_t kDlTimeout = 0x82;
constexpr uint8_t kDlInternalErrorNeedsImage = 0x83;
constexpr uint8_t kDlInternalErrorSafe = 0x84;
constexpr uint8_t kDlNoDeferredMicrocode = 0x85;

// WRITE BUFFER / READ BUFFER
constexpr uint8_t kBufferModeMask = 0x1F;
constexpr uint8_t kBufferModeVendor = 0x01;
constexpr uint8_t kBufferModeDescriptor = 0x03;
constexpr uint8_t kConsoleBufferId = 1;
constexpr size_t kConsoleBufferCapacity = 512;
constexpr size_t kConsoleResponseHeaderLength = 4;
constexpr uint8_t kConsoleCommandMarker = 0x01;
constexpr size_t kReadBufferDescriptorLength = 4;

// REPORT LUNS
constexpr size_t kReportLunsMinAllocation = 16;

// CDB lengths by operation code group (SAM)
size_t CdbLengthForOpcode(uint8_t opcode);

} // namespace sesim

#endif
