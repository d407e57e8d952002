#ifndef BUFTERM_EXPECT_H
#define BUFTERM_EXPECT_H

// Shared pieces of the bufterm end-to-end tests: the program's fixed texts, the CDBs it must
// send, and views of the simulator's command log.

#include <string>
#include <vector>

#include "e2e_support.h"

namespace bufterm_e2e
{

const std::string kPrompt = "DIDIVAR>";
const std::string kPrintedPrompt = "\n\n" + kPrompt;
const std::string kUsage = "SES enclosure console, version 01.01\nUsage: bufterm <device> [command]\n";
const std::string kNotSupported = "SCSI target device does not support BUFTERM\n";
const std::string kReadFailed = "Failed to read command response\n";
const std::string kSendFailed = "Failed to send command to device\n";

// REQUEST SENSE for 16 bytes, INQUIRY for the 36 bytes of standard data, and READ BUFFER
// mode 01h, buffer 1, allocation length 508.
const std::string kRequestSenseCdb = "030000001000";
const std::string kInquiryCdb = "120000002400";
const std::string kReadBufferCdb = "3c01010000000001fc00";

std::string Bufterm();
std::vector<std::string> Argv(const std::vector<std::string>& args);

using e2e::WithOpcode;
// WRITE BUFFER CDB for a command text of n characters (parameter list length n + 3).
std::string WriteBufferCdb(size_t n);
// The command message as it must reach the device: 01 00, the text, its NUL.
std::string CommandMessageHex(const std::string& text);
// The texts of the commands the device received, in order.
std::vector<std::string> SentCommands(const e2e::Enclosure& enclosure);

// Terminal settings compared field by field (the record has padding).
bool SameSettings(const termios& a, const termios& b);

} // namespace bufterm_e2e

#endif
