// bufterm: console to the command interpreter inside an enclosure's firmware.
//
// Each command line travels in the data of a WRITE BUFFER (mode 01h, buffer 1); the interpreter's
// output comes back in READ BUFFER responses, read until the device no longer reports the command
// as pending. One command from the command line, or an interactive prompt with line editing.

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "bufterm_message.h"
#include "dataaccess.h"
#include "fgetshistory.h"
#include "oswrapper.h"
#include "scsi_initiator.h"
#include "spc_request_sense.h"

#define BUFTERM_VERSION "01.01"
#define BUFTERM_PROMPT "DIDIVAR>"
#define BUFTERM_PRINTED_PROMPT "\n\n" BUFTERM_PROMPT
#define BUFTERM_EXIT_WORD "quit"
// One-character lines are taken for stray keys and are not sent.
#define BUFTERM_MIN_INTERACTIVE_LENGTH 2
// The interpreter needs a moment between a command and each read of its output.
#define BUFTERM_POLL_DELAY_MS 10

// READ BUFFER / WRITE BUFFER CDB (10 bytes)
#define BUFFER_CDB_LENGTH 10
#define BUFFER_CDB_MODE_BYTE 1
#define BUFFER_CDB_ID_BYTE 2
#define BUFFER_CDB_OFFSET_BYTE 3
#define BUFFER_CDB_LENGTH_BYTE 6
#define BUFFER_CDB_CONTROL_BYTE 9
#define BUFFER_MODE_VENDOR_SPECIFIC 0x01
#define BUFFER_ID_CONSOLE 0x01

// Sense fetched at start-up only to clear it; fixed format needs 16 bytes for ASC/ASCQ.
#define CLEAR_SENSE_LENGTH 16

// Standard inquiry data: the peripheral device type in byte 0, the EncServ bit in byte 6.
#define INQUIRY_CDB_LENGTH 6
#define INQUIRY_CDB_ALLOCATION_LENGTH_BYTE 3
#define INQUIRY_STANDARD_LENGTH 36
#define INQUIRY_PERIPHERAL_TYPE_MASK 0x1F
#define INQUIRY_FLAGS_BYTE 6

// Local refusals of ClearSense and SendCommand; the caller only tests for non-zero.
#define BUFTERM_NOT_SENT 1

// The program dies from these as usual, but not with the operator's terminal left raw.
static const int fatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
// Ctrl-Z and fg: the shell gets its terminal back while the program is stopped.
static const int jobControlSignals[] = {SIGTSTP, SIGCONT};

static void RestoreTerminalAndDie(int signalNumber)
{
    ConfigureFgetsHistory(CANONICAL, BUFTERM_PROMPT);
    // The handler was reset to the default action on entry, so the re-raised signal ends the
    // process once the handler returns, and the exit status still names it.
    raise(signalNumber);
}

// Stops as the default action would, but with the terminal as the shell expects it, and comes
// back in raw mode (the line editor then redraws its line).
static void StopWithTerminalRestored(int signalNumber)
{
    int savedErrno = errno;
    struct sigaction stop;
    struct sigaction ours;
    sigset_t unblock;

    ConfigureFgetsHistory(CANONICAL, BUFTERM_PROMPT);
    memset(&stop, 0, sizeof(stop));
    stop.sa_handler = SIG_DFL;
    sigaction(signalNumber, &stop, &ours);
    sigemptyset(&unblock);
    sigaddset(&unblock, signalNumber);
    sigprocmask(SIG_UNBLOCK, &unblock, NULL);
    raise(signalNumber);
    // Continued (or never stopped: an orphaned process group ignores the stop).
    sigaction(signalNumber, &ours, NULL);
    ConfigureFgetsHistory(NON_CANONICAL, BUFTERM_PROMPT);
    errno = savedErrno;
}

static void ResumeRawMode(int signalNumber)
{
    (void)signalNumber;
    int savedErrno = errno;
    ConfigureFgetsHistory(NON_CANONICAL, BUFTERM_PROMPT);
    errno = savedErrno;
}

static void FillHandledSignals(sigset_t* set)
{
    sigemptyset(set);
    for (int sig : fatalSignals)
    {
        sigaddset(set, sig);
    }
    for (int sig : jobControlSignals)
    {
        sigaddset(set, sig);
    }
}

// A signal ignored when the program started stays ignored: nohup, or a caller that wants the
// run to finish whatever happens to the terminal.
static void HandleUnlessIgnored(int signalNumber, void (*handler)(int), int flags)
{
    struct sigaction action;
    struct sigaction inherited;
    if (sigaction(signalNumber, NULL, &inherited) != 0 || inherited.sa_handler == SIG_IGN)
    {
        return;
    }
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler;
    action.sa_flags = flags;
    // No handler runs inside another, so the terminal's mode changes never interleave.
    FillHandledSignals(&action.sa_mask);
    sigaction(signalNumber, &action, NULL);
}

// Enters raw mode with the handlers in place; the signals are held back meanwhile, so that no
// handler can run before there are settings to restore.
static void EnterRawMode(void)
{
    sigset_t handled;
    sigset_t previous;
    FillHandledSignals(&handled);
    sigprocmask(SIG_BLOCK, &handled, &previous);
    ConfigureFgetsHistory(NON_CANONICAL, BUFTERM_PROMPT);
    for (int sig : fatalSignals)
    {
        HandleUnlessIgnored(sig, RestoreTerminalAndDie, SA_RESETHAND);
    }
    HandleUnlessIgnored(SIGTSTP, StopWithTerminalRestored, SA_RESTART);
    HandleUnlessIgnored(SIGCONT, ResumeRawMode, SA_RESTART);
    sigprocmask(SIG_SETMASK, &previous, NULL);
}

// For good: a stop or continue that comes later must not make the terminal raw again.
static void RestoreTerminal(void)
{
    sigset_t handled;
    sigset_t previous;
    struct sigaction defaultAction;
    FillHandledSignals(&handled);
    sigprocmask(SIG_BLOCK, &handled, &previous);
    memset(&defaultAction, 0, sizeof(defaultAction));
    defaultAction.sa_handler = SIG_DFL;
    for (int sig : jobControlSignals)
    {
        struct sigaction current;
        if (sigaction(sig, NULL, &current) == 0 && current.sa_handler != SIG_IGN)
        {
            sigaction(sig, &defaultAction, NULL);
        }
    }
    ConfigureFgetsHistory(CANONICAL, BUFTERM_PROMPT);
    sigprocmask(SIG_SETMASK, &previous, NULL);
}

static void PrintSenseLine(const HAL_SCSI_ResponseData_t* response)
{
    fprintf(stderr, "Send failed: Sense %02x,%02x,%02x,%02x\n", response->status, response->senseKey, response->asc,
            response->ascq);
}

// Fills the fields that WRITE BUFFER and READ BUFFER share for the console buffer.
static void SetBufferCDB(uint8_t* cdb, uint8_t opcode, uint32_t length)
{
    DA_SetField_BE8(cdb, 0, opcode);
    DA_SetField_BE8(cdb, BUFFER_CDB_MODE_BYTE, BUFFER_MODE_VENDOR_SPECIFIC);
    DA_SetField_BE8(cdb, BUFFER_CDB_ID_BYTE, BUFFER_ID_CONSOLE);
    DA_SetField_BE24(cdb, BUFFER_CDB_OFFSET_BYTE, 0);
    DA_SetField_BE24(cdb, BUFFER_CDB_LENGTH_BYTE, length);
    DA_SetField_BE8(cdb, BUFFER_CDB_CONTROL_BYTE, 0);
}

// Discards whatever sense the device holds (a unit attention, say), so that it does not fail the
// first console command.
static OSW_STATUS ClearSense(SCSI_Device_t hDevice)
{
    uint8_t cdb[SPC_REQUEST_SENSE_CDB_LENGTH];
    uint8_t senseData[CLEAR_SENSE_LENGTH];
    SPC_RS_CDBParams_t params;
    HAL_SCSI_ResponseData_t response;

    memset(cdb, 0, sizeof(cdb));
    memset(&response, 0, sizeof(response));
    params.alloclen = CLEAR_SENSE_LENGTH;
    params.control = 0;
    if (SPC_RequestSense_BuildCDB(cdb, sizeof(cdb), &params) < 0)
    {
        return BUFTERM_NOT_SENT;
    }
    return SCSI_Initiator_SendRequest(hDevice, cdb, sizeof(cdb), SCSI_INITIATOR_DATA_IN, senseData, sizeof(senseData),
                                      &response);
}

// WRITE BUFFER mode 01h is vendor specific: what a console command would do to a device of another
// kind (a disk, say) is anyone's guess, so only an enclosure services device gets one.
static OSW_STATUS IdentifyEnclosure(SCSI_Device_t hDevice, bool_t* isEnclosure)
{
    uint8_t cdb[INQUIRY_CDB_LENGTH];
    uint8_t inquiry[INQUIRY_STANDARD_LENGTH];
    HAL_SCSI_ResponseData_t response;

    memset(cdb, 0, sizeof(cdb));
    DA_SetField_BE8(cdb, 0, SCSI_OP_INQUIRY);
    DA_SetField_BE16(cdb, INQUIRY_CDB_ALLOCATION_LENGTH_BYTE, sizeof(inquiry));
    // Bytes a short answer leaves out read as zero: no enclosure type, no EncServ bit.
    memset(inquiry, 0, sizeof(inquiry));
    memset(&response, 0, sizeof(response));
    OSW_STATUS status = SCSI_Initiator_SendRequest(hDevice, cdb, sizeof(cdb), SCSI_INITIATOR_DATA_IN, inquiry,
                                                   sizeof(inquiry), &response);
    if (status == SCSI_INITIATOR_DEVICE_STATUS)
    {
        PrintSenseLine(&response);
    }
    *isEnclosure = (inquiry[0] & INQUIRY_PERIPHERAL_TYPE_MASK) == SCSI_PERIPHERAL_TYPE_ENCLOSURE ||
                           (inquiry[INQUIRY_FLAGS_BYTE] & SCSI_INQUIRY_ENCSERV) != 0
                       ? TRUE
                       : FALSE;
    return status;
}

// Sends the command message whose text already stands in buffer; count is 2 + the text length.
static OSW_STATUS SendCommand(SCSI_Device_t hDevice, uint8_t* buffer, uint32_t count)
{
    uint8_t cdb[BUFFER_CDB_LENGTH];
    HAL_SCSI_ResponseData_t response;

    if (count <= BUFTERM_COMMAND_TEXT_OFFSET)
    {
        return BUFTERM_NOT_SENT;
    }
    DA_SetField_BE8(buffer, BUFTERM_COMMAND_TYPE_OFFSET, BUFTERM_COMMAND_TYPE);
    DA_SetField_BE8(buffer, BUFTERM_COMMAND_RESERVED_OFFSET, 0);
    // The interpreter expects the text's NUL as part of the message.
    count++;
    SetBufferCDB(cdb, SCSI_OP_WRITE_BUFFER, count);
    memset(&response, 0, sizeof(response));
    OSW_STATUS status =
        SCSI_Initiator_SendRequest(hDevice, cdb, sizeof(cdb), SCSI_INITIATOR_DATA_OUT, buffer, count, &response);
    if (status == SCSI_INITIATOR_DEVICE_STATUS)
    {
        PrintSenseLine(&response);
    }
    return status;
}

// Reads one response into buffer and leaves its text NUL-terminated at BUFTERM_RESPONSE_TEXT_OFFSET.
// On a transport failure (a result other than 0 and 4) cmdPending is left as it was.
static OSW_STATUS ReadCommandResponse(SCSI_Device_t hDevice, uint8_t* buffer, uint32_t bufferSize, bool_t* cmdPending)
{
    uint8_t cdb[BUFFER_CDB_LENGTH];
    HAL_SCSI_ResponseData_t response;
    // The length field and the transfer are not tied: the allocation leaves room for the NUL, and
    // the buffer is cleared first so that bytes the device did not send read as the end of text
    // rather than as an earlier message.
    uint32_t allocationLength = bufferSize - BUFTERM_RESPONSE_TEXT_OFFSET;

    SetBufferCDB(cdb, SCSI_OP_READ_BUFFER, allocationLength);
    memset(buffer, 0, bufferSize);
    memset(&response, 0, sizeof(response));
    OSW_STATUS status = SCSI_Initiator_SendRequest(hDevice, cdb, sizeof(cdb), SCSI_INITIATOR_DATA_IN, buffer,
                                                   allocationLength, &response);
    if (status == SCSI_INITIATOR_DEVICE_STATUS)
    {
        PrintSenseLine(&response);
        return status;
    }
    if (status != OSW_STATUS_SUCCESS)
    {
        return status;
    }
    return DecodeCommandResponse(buffer, bufferSize, cmdPending);
}

static void PrintResponseText(const uint8_t* buffer)
{
    fputs((const char*)buffer + BUFTERM_RESPONSE_TEXT_OFFSET, stdout);
    fflush(stdout);
}

// Failure exits release the device before the terminal.
// A NULL message: the caller has printed its own.
static int FailAndExit(SCSI_Device_t hDevice, const char* message)
{
    if (message != NULL)
    {
        fputs(message, stderr);
    }
    if (hDevice != NULL)
    {
        SCSI_Initiator_CloseDevice(hDevice);
    }
    RestoreTerminal();
    return 1;
}

// Successful exits restore the terminal before the device is released. Output that could not be
// written (a full disk, a closed pipe whose signal is ignored) makes the run a failure: whoever
// reads the file would otherwise take a cut transcript for the whole of it.
static int SucceedAndExit(SCSI_Device_t hDevice)
{
    if (fflush(stdout) != 0 || ferror(stdout))
    {
        return FailAndExit(hDevice, "Failed to write command output\n");
    }
    RestoreTerminal();
    SCSI_Initiator_CloseDevice(hDevice);
    return 0;
}

// Prompts for and reads the next line worth sending into the text area. Returns FALSE when the
// operator is done (end of input or the exit word).
static bool_t ReadInteractiveLine(char* text, uint32_t textSize)
{
    for (;;)
    {
        fputs(BUFTERM_PRINTED_PROMPT, stdout);
        fflush(stdout);
        if (FgetsHistory(text, textSize, stdin) == NULL || strcmp(text, BUFTERM_EXIT_WORD) == 0)
        {
            return FALSE;
        }
        if (strlen(text) >= BUFTERM_MIN_INTERACTIVE_LENGTH)
        {
            return TRUE;
        }
    }
}

int main(int argc, char* argv[])
{
    uint8_t buffer[BUFTERM_MESSAGE_SIZE];
    char* text = (char*)buffer + BUFTERM_COMMAND_TEXT_OFFSET;
    const uint32_t textSize = BUFTERM_MESSAGE_SIZE - BUFTERM_COMMAND_TEXT_OFFSET;
    bool_t cmdPending = TRUE;
    SCSI_Device_t hDevice = NULL;
    OSW_STATUS status;
    bool_t isEnclosure;

    // Before anything is opened, so that the device never becomes standard input or output.
    if (OSW_OpenStandardDescriptors() != OSW_STATUS_SUCCESS)
    {
        fputs("Unable to open /dev/null for a closed standard descriptor\n", stderr);
        return 1;
    }

    // Asked for, help and version go to standard output and succeed, before the terminal is
    // touched. No device node is named like an option, so no device command line is taken.
    if (argc >= 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0))
    {
        fputs("SES enclosure console, version " BUFTERM_VERSION "\nUsage: bufterm <device> [command]\n", stdout);
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "--version") == 0)
    {
        fputs("bufterm version " BUFTERM_VERSION "\n", stdout);
        return 0;
    }

    EnterRawMode();
    if (argc < 2)
    {
        fputs("SES enclosure console, version " BUFTERM_VERSION "\n", stderr);
        return FailAndExit(NULL, "Usage: bufterm <device> [command]\n");
    }
    const char* commandArg = argc > 2 ? argv[2] : NULL;
    bool_t interactive = commandArg == NULL ? TRUE : FALSE;

    if (SCSI_Initiator_OpenDevice(argv[1], &hDevice) != OSW_STATUS_SUCCESS)
    {
        return FailAndExit(NULL, "Unable to open SCSI target device\n");
    }
    if (ClearSense(hDevice) != OSW_STATUS_SUCCESS)
    {
        return FailAndExit(hDevice, "Failed to clear sense data on target\n");
    }
    if (IdentifyEnclosure(hDevice, &isEnclosure) != OSW_STATUS_SUCCESS)
    {
        return FailAndExit(hDevice, "Failed to read inquiry data from target\n");
    }
    if (!isEnclosure)
    {
        fprintf(stderr, "Device %s is not an enclosure services device\n", argv[1]);
        return FailAndExit(hDevice, NULL);
    }

    // Proves the device speaks the console protocol, and drains output left over from before.
    while (cmdPending)
    {
        if (ReadCommandResponse(hDevice, buffer, sizeof(buffer), &cmdPending) != OSW_STATUS_SUCCESS)
        {
            return FailAndExit(hDevice, "SCSI target device does not support BUFTERM\n");
        }
        if (interactive)
        {
            PrintResponseText(buffer);
        }
    }

    for (;;)
    {
        if (interactive)
        {
            if (!ReadInteractiveLine(text, textSize))
            {
                putchar('\n');
                return SucceedAndExit(hDevice);
            }
        }
        else
        {
            putchar('\n');
            size_t length = strnlen(commandArg, textSize - 1);
            memcpy(text, commandArg, length);
            text[length] = '\0';
        }

        if (SendCommand(hDevice, buffer, (uint32_t)(BUFTERM_COMMAND_TEXT_OFFSET + strlen(text))) !=
            OSW_STATUS_SUCCESS)
        {
            return FailAndExit(hDevice, "Failed to send command to device\n");
        }

        cmdPending = TRUE;
        OSW_Sleep(BUFTERM_POLL_DELAY_MS);
        do
        {
            status = ReadCommandResponse(hDevice, buffer, sizeof(buffer), &cmdPending);
            if (status == SCSI_INITIATOR_DEVICE_STATUS)
            {
                return FailAndExit(hDevice, "Failed to read command response\n");
            }
            if (status != OSW_STATUS_SUCCESS)
            {
                // A transport failure loses the rest of the output: a one-shot run cannot claim
                // success, while at the prompt the operator can simply try again.
                if (!interactive)
                {
                    return FailAndExit(hDevice, "Failed to read command response\n");
                }
                fputs("Failed to read command response\n", stderr);
                break;
            }
            PrintResponseText(buffer);
            OSW_Sleep(BUFTERM_POLL_DELAY_MS);
        } while (cmdPending);

        if (!interactive)
        {
            return SucceedAndExit(hDevice);
        }
    }
}
