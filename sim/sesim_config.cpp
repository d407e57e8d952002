#include "sesim_config.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace sesim
{

namespace
{

struct ErrnoName
{
    const char* name;
    int value;
};

constexpr ErrnoName kErrnoNames[] = {
    {"EIO", EIO},       {"ENODEV", ENODEV}, {"EINVAL", EINVAL},   {"ENOMEM", ENOMEM},       {"EBUSY", EBUSY},
    {"EAGAIN", EAGAIN}, {"EFAULT", EFAULT}, {"ENXIO", ENXIO},     {"EPERM", EPERM},         {"EINTR", EINTR},
    {"ENOTTY", ENOTTY}, {"EACCES", EACCES}, {"ENOSYS", ENOSYS},   {"ETIMEDOUT", ETIMEDOUT}, {"EMSGSIZE", EMSGSIZE},
    {"EDOM", EDOM},     {"ENOENT", ENOENT}, {"EOVERFLOW", EOVERFLOW},
};

struct KindName
{
    FaultKind kind;
    const char* name;
};

constexpr KindName kKindNames[] = {
    {FaultKind::Check, "check"},
    {FaultKind::CheckNoSense, "check-nosense"},
    {FaultKind::Status, "status"},
    {FaultKind::Host, "host"},
    {FaultKind::Errno, "errno"},
    {FaultKind::Gone, "gone"},
    {FaultKind::Drop, "drop"},
    {FaultKind::ShortStatus, "short-status"},
    {FaultKind::GarbageStatus, "garbage-status"},
    {FaultKind::Stuck, "stuck"},
    {FaultKind::BadLength, "bad-length"},
    {FaultKind::DlStatus, "dl-status"},
    {FaultKind::Gencode, "gencode"},
};

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
    {
        parts.push_back(part);
    }
    if (!text.empty() && text.back() == separator)
    {
        parts.push_back("");
    }
    return parts;
}

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
    {
        return "";
    }
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string Hex2(unsigned v)
{
    char buf[8];
    snprintf(buf, sizeof(buf), "%02x", v & 0xFF);
    return buf;
}

bool ParseErrno(const std::string& text, int* value)
{
    for (const ErrnoName& e : kErrnoNames)
    {
        if (text == e.name)
        {
            *value = e.value;
            return true;
        }
    }
    uint64_t v;
    if (ParseUnsigned(text, 4095, &v) && v > 0)
    {
        *value = (int)v;
        return true;
    }
    return false;
}

std::string ErrnoText(int value)
{
    for (const ErrnoName& e : kErrnoNames)
    {
        if (e.value == value)
        {
            return e.name;
        }
    }
    return std::to_string(value);
}

bool ParseBool(const std::string& text, bool* value)
{
    if (text == "1" || text == "yes")
    {
        *value = true;
        return true;
    }
    if (text == "0" || text == "no")
    {
        *value = false;
        return true;
    }
    return false;
}

} // namespace

Config::Config()
{
    SetAsciiField(vendor, kVendorLength, "SESIM");
    SetAsciiField(product, kProductLength, "SIM ENCLOSURE");
    SetAsciiField(serial, kSerialLength, "SIM0000001");
}

bool SetAsciiField(char* field, size_t fieldLength, const std::string& text)
{
    if (text.size() > fieldLength)
    {
        return false;
    }
    for (char c : text)
    {
        if (c < 0x20 || c > 0x7E)
        {
            return false;
        }
    }
    memset(field, ' ', fieldLength);
    // A fixed-width, space-padded field: it has no terminator.
    memcpy(field, text.data(), text.size()); // NOLINT(bugprone-not-null-terminated-result)
    return true;
}

std::string AsciiField(const char* field, size_t fieldLength)
{
    std::string s(field, fieldLength);
    size_t e = s.find_last_not_of(' ');
    return e == std::string::npos ? "" : s.substr(0, e + 1);
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
    {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max)
    {
        return false;
    }
    *value = v;
    return true;
}

bool ParseHexByte(const std::string& text, uint8_t* value)
{
    if (text.empty() || text.size() > 4)
    {
        return false;
    }
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
    {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 2)
    {
        return false;
    }
    char* end = nullptr;
    unsigned long v = strtoul(digits.c_str(), &end, 16);
    if (*end != '\0' || !isxdigit((unsigned char)digits[0]))
    {
        return false;
    }
    *value = (uint8_t)v;
    return true;
}

bool ParseFlashModel(const std::string& text, FlashModel* model)
{
    if (text != "dual" && text != "single")
    {
        return false;
    }
    *model = text == "single" ? FlashModel::Single : FlashModel::Dual;
    return true;
}

const char* FaultKindName(FaultKind kind)
{
    for (const KindName& k : kKindNames)
    {
        if (k.kind == kind)
        {
            return k.name;
        }
    }
    return "?";
}

bool ParseFault(const std::string& text, FaultSpec* fault, std::string* error)
{
    FaultSpec f;
    size_t at = text.find('@');
    if (at == std::string::npos)
    {
        *error = "fault '" + text + "': expected KIND@TRIGGER[,KEY=VALUE...]";
        return false;
    }
    std::string kind = text.substr(0, at);
    bool known = false;
    for (const KindName& k : kKindNames)
    {
        if (kind == k.name)
        {
            f.kind = k.kind;
            known = true;
        }
    }
    if (!known)
    {
        *error = "fault '" + text + "': unknown kind '" + kind + "'";
        return false;
    }
    std::vector<std::string> parts = Split(text.substr(at + 1), ',');
    if (parts.empty())
    {
        *error = "fault '" + text + "': missing trigger";
        return false;
    }
    // Triggers that name one command or block fire once unless count says otherwise.
    bool countGiven = false;
    const std::string& trigger = parts[0];
    uint64_t v = 0;
    if (trigger.compare(0, 4, "cmd=") == 0)
    {
        std::string n = trigger.substr(4);
        f.trigger = TriggerKind::Command;
        if (!n.empty() && n.back() == '+')
        {
            f.trigger = TriggerKind::CommandOnward;
            n.pop_back();
        }
        if (!ParseUnsigned(n, UINT32_MAX, &v) || v == 0)
        {
            *error = "fault '" + text + "': cmd=N needs a command number from 1";
            return false;
        }
        f.number = (uint32_t)v;
        f.count = 1;
    }
    else if (trigger.compare(0, 6, "block=") == 0)
    {
        if (!ParseUnsigned(trigger.substr(6), UINT32_MAX, &v) || v == 0)
        {
            *error = "fault '" + text + "': block=N needs a block number from 1";
            return false;
        }
        f.trigger = TriggerKind::Block;
        f.number = (uint32_t)v;
        f.count = 1;
    }
    else if (trigger.compare(0, 3, "op=") == 0)
    {
        if (!ParseHexByte(trigger.substr(3), &f.opcode))
        {
            *error = "fault '" + text + "': op=XX needs a hexadecimal operation code";
            return false;
        }
        f.trigger = TriggerKind::Opcode;
        f.count = 0;
    }
    else
    {
        *error = "fault '" + text + "': unknown trigger '" + trigger + "' (cmd=N, cmd=N+, block=N, op=XX)";
        return false;
    }
    for (size_t i = 1; i < parts.size(); i++)
    {
        size_t eq = parts[i].find('=');
        std::string key = parts[i].substr(0, eq);
        std::string value = eq == std::string::npos ? "" : parts[i].substr(eq + 1);
        bool ok = eq != std::string::npos;
        bool applies = true;
        if (!ok)
        {
        }
        else if (key == "count")
        {
            ok = ParseUnsigned(value, UINT32_MAX, &v) && v > 0;
            f.count = (uint32_t)v;
            countGiven = true;
        }
        else if (key == "sense")
        {
            std::vector<std::string> s = Split(value, '/');
            ok = s.size() == 3 && ParseHexByte(s[0], &f.senseKey) && ParseHexByte(s[1], &f.asc) &&
                 ParseHexByte(s[2], &f.ascq) && f.senseKey <= 0x0F;
            applies = f.kind == FaultKind::Check;
        }
        else if (key == "when")
        {
            ok = value == "before" || value == "after";
            f.after = value == "after";
            applies = f.kind == FaultKind::Check || f.kind == FaultKind::CheckNoSense || f.kind == FaultKind::Status ||
                      f.kind == FaultKind::Host || f.kind == FaultKind::Errno;
        }
        else if (key == "format")
        {
            ok = value == "fixed" || value == "desc";
            f.format = value == "desc" ? SenseFormat::Descriptor : SenseFormat::Fixed;
            applies = f.kind == FaultKind::Check;
        }
        else if (key == "value" && f.kind == FaultKind::Status)
        {
            ok = ParseHexByte(value, &f.status);
        }
        else if (key == "value" && f.kind == FaultKind::BadLength)
        {
            ok = ParseUnsigned(value, UINT16_MAX, &v);
            f.textLength = (uint32_t)v;
        }
        else if (key == "value" && f.kind == FaultKind::DlStatus)
        {
            // A code that ends a download without its image: vendor specific or an error.
            ok = ParseHexByte(value, &f.downloadStatus) && f.downloadStatus >= kFirstVendorDownloadStatus;
        }
        else if (key == "step")
        {
            ok = ParseUnsigned(value, UINT32_MAX, &v) && v > 0;
            f.step = (uint32_t)v;
            applies = f.kind == FaultKind::Gencode;
        }
        else if (key == "code")
        {
            ok = ParseHexByte(value, &f.hostCode) && f.hostCode != 0;
            applies = f.kind == FaultKind::Host;
        }
        else if (key == "errno")
        {
            ok = ParseErrno(value, &f.errnoValue);
            applies = f.kind == FaultKind::Errno;
        }
        else if (key == "len")
        {
            ok = ParseUnsigned(value, UINT16_MAX, &v);
            f.length = (uint32_t)v;
            applies = f.kind == FaultKind::ShortStatus;
        }
        else if (key == "seed")
        {
            ok = ParseUnsigned(value, UINT32_MAX, &v);
            f.seed = (uint32_t)v;
            applies = f.kind == FaultKind::GarbageStatus;
        }
        else if (key == "reads")
        {
            ok = ParseUnsigned(value, UINT32_MAX, &v) && v > 0;
            f.reads = (uint32_t)v;
            applies = f.kind == FaultKind::Stuck;
        }
        else
        {
            applies = false;
        }
        if (!applies)
        {
            *error = "fault '" + text + "': key '" + key + "' does not apply to " + FaultKindName(f.kind);
            return false;
        }
        if (!ok)
        {
            *error = "fault '" + text + "': bad value in '" + parts[i] + "'";
            return false;
        }
    }
    if (f.trigger == TriggerKind::CommandOnward)
    {
        if (countGiven)
        {
            *error = "fault '" + text + "': cmd=N+ fires on every later command; count does not apply";
            return false;
        }
        f.count = 0;
    }
    *fault = f;
    return true;
}

std::string FormatFault(const FaultSpec& f)
{
    std::string s = FaultKindName(f.kind);
    s += "@";
    switch (f.trigger)
    {
    case TriggerKind::Command:
        s += "cmd=" + std::to_string(f.number);
        break;
    case TriggerKind::CommandOnward:
        s += "cmd=" + std::to_string(f.number) + "+";
        break;
    case TriggerKind::Block:
        s += "block=" + std::to_string(f.number);
        break;
    case TriggerKind::Opcode:
        s += "op=" + Hex2(f.opcode);
        break;
    }
    if (f.trigger != TriggerKind::CommandOnward && f.count != 0 &&
        !(f.trigger != TriggerKind::Opcode && f.count == 1))
    {
        s += ",count=" + std::to_string(f.count);
    }
    if (f.after)
    {
        s += ",when=after";
    }
    switch (f.kind)
    {
    case FaultKind::Check:
        s += ",sense=" + Hex2(f.senseKey) + "/" + Hex2(f.asc) + "/" + Hex2(f.ascq);
        if (f.format != SenseFormat::Enclosure)
        {
            s += f.format == SenseFormat::Descriptor ? ",format=desc" : ",format=fixed";
        }
        break;
    case FaultKind::Status:
        s += ",value=" + Hex2(f.status);
        break;
    case FaultKind::Host:
        s += ",code=" + Hex2(f.hostCode);
        break;
    case FaultKind::Errno:
        s += ",errno=" + ErrnoText(f.errnoValue);
        break;
    case FaultKind::ShortStatus:
        s += ",len=" + std::to_string(f.length);
        break;
    case FaultKind::GarbageStatus:
        s += ",seed=" + std::to_string(f.seed);
        break;
    case FaultKind::Stuck:
        s += ",reads=" + std::to_string(f.reads);
        break;
    case FaultKind::BadLength:
        s += ",value=" + std::to_string(f.textLength);
        break;
    case FaultKind::DlStatus:
        s += ",value=" + Hex2(f.downloadStatus);
        break;
    case FaultKind::Gencode:
        s += ",step=" + std::to_string(f.step);
        break;
    default:
        break;
    }
    return s;
}

bool AddFault(Config* config, const FaultSpec& fault, std::string* error)
{
    if (config->faultCount >= (uint32_t)kMaxFaults)
    {
        *error = "too many faults (at most " + std::to_string(kMaxFaults) + ")";
        return false;
    }
    config->faults[config->faultCount++] = fault;
    return true;
}

bool ParseFaultFile(const std::string& text, Config* config, std::string* error)
{
    std::istringstream in(text);
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line))
    {
        lineNumber++;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
        {
            line.resize(hash);
        }
        line = Trim(line);
        if (line.empty())
        {
            continue;
        }
        FaultSpec f;
        if (!ParseFault(line, &f, error) || !AddFault(config, f, error))
        {
            *error = "line " + std::to_string(lineNumber) + ": " + *error;
            return false;
        }
    }
    return true;
}

std::string FormatConfig(const Config& c)
{
    std::ostringstream out;
    out << "# sesim enclosure settings; written by sesim init and sesim fault\n";
    out << "vendor " << AsciiField(c.vendor, kVendorLength) << "\n";
    out << "product " << AsciiField(c.product, kProductLength) << "\n";
    out << "serial " << AsciiField(c.serial, kSerialLength) << "\n";
    out << "device-type " << (unsigned)c.deviceType << "\n";
    out << "encserv " << (c.encserv ? 1 : 0) << "\n";
    out << "max-image-size " << c.maxImageSize << "\n";
    out << "busy-reads " << c.busyReads << "\n";
    out << "busy-ms " << c.busyMs << "\n";
    out << "complete-status 0x" << Hex2(c.completeStatus) << "\n";
    out << "deferred-busy-status 0x" << Hex2(c.deferredBusyStatus) << "\n";
    out << "download-timeout-ms " << c.downloadTimeoutMs << "\n";
    out << "accept-any-image " << (c.acceptAnyImage ? 1 : 0) << "\n";
    out << "offset-alignment-check " << (c.offsetAlignmentCheck ? 1 : 0) << "\n";
    out << "latency-us " << c.latencyUs << "\n";
    out << "page-0e " << (c.page0e ? 1 : 0) << "\n";
    out << "read-buffer " << (c.readBuffer ? 1 : 0) << "\n";
    out << "descriptor-sense " << (c.descriptorSense ? 1 : 0) << "\n";
    out << "secondary-subenclosures " << (unsigned)c.secondarySubenclosures << "\n";
    out << "slots " << (unsigned)c.slots << "\n";
    out << "flash " << (c.flash == FlashModel::Single ? "single" : "dual") << "\n";
    out << "restart-on-activation " << (c.restartOnActivation ? 1 : 0) << "\n";
    out << "restart-clears-status " << (c.restartClearsStatus ? 1 : 0) << "\n";
    out << "any-offset " << (c.anyOffset ? 1 : 0) << "\n";
    out << "buffer-id " << (unsigned)c.bufferId << "\n";
    for (uint32_t i = 0; i < c.faultCount; i++)
    {
        out << "fault " << FormatFault(c.faults[i]) << "\n";
    }
    return out.str();
}

bool ParseConfig(const std::string& text, Config* config, std::string* error)
{
    Config c;
    std::istringstream in(text);
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line))
    {
        lineNumber++;
        if (line.empty() || line[0] == '#')
        {
            continue;
        }
        size_t sp = line.find(' ');
        std::string key = line.substr(0, sp);
        std::string value = sp == std::string::npos ? "" : line.substr(sp + 1);
        uint64_t v = 0;
        bool ok = true;
        if (key == "vendor")
            ok = SetAsciiField(c.vendor, kVendorLength, value);
        else if (key == "product")
            ok = SetAsciiField(c.product, kProductLength, value);
        else if (key == "serial")
            ok = SetAsciiField(c.serial, kSerialLength, value);
        else if (key == "device-type")
            ok = ParseUnsigned(value, kPeripheralTypeMax, &v), c.deviceType = (uint8_t)v;
        else if (key == "encserv")
            ok = ParseBool(value, &c.encserv);
        else if (key == "max-image-size")
            ok = ParseUnsigned(value, UINT32_MAX, &v), c.maxImageSize = (uint32_t)v;
        else if (key == "busy-reads")
            ok = ParseUnsigned(value, UINT32_MAX, &v), c.busyReads = (uint32_t)v;
        else if (key == "busy-ms")
            ok = ParseUnsigned(value, UINT32_MAX, &v), c.busyMs = (uint32_t)v;
        else if (key == "complete-status")
            ok = ParseUnsigned(value, 0xFF, &v), c.completeStatus = (uint8_t)v;
        else if (key == "deferred-busy-status")
            ok = ParseUnsigned(value, 0xFF, &v), c.deferredBusyStatus = (uint8_t)v;
        else if (key == "download-timeout-ms")
            ok = ParseUnsigned(value, UINT32_MAX, &v), c.downloadTimeoutMs = (uint32_t)v;
        else if (key == "accept-any-image")
            ok = ParseBool(value, &c.acceptAnyImage);
        else if (key == "offset-alignment-check")
            ok = ParseBool(value, &c.offsetAlignmentCheck);
        else if (key == "latency-us")
            ok = ParseUnsigned(value, UINT32_MAX, &v), c.latencyUs = (uint32_t)v;
        else if (key == "page-0e")
            ok = ParseBool(value, &c.page0e);
        else if (key == "read-buffer")
            ok = ParseBool(value, &c.readBuffer);
        else if (key == "descriptor-sense")
            ok = ParseBool(value, &c.descriptorSense);
        else if (key == "secondary-subenclosures")
            ok = ParseUnsigned(value, kMaxSecondarySubenclosures, &v), c.secondarySubenclosures = (uint8_t)v;
        else if (key == "slots")
            ok = ParseUnsigned(value, kMaxSlots, &v), c.slots = (uint8_t)v;
        else if (key == "flash")
            ok = ParseFlashModel(value, &c.flash);
        else if (key == "restart-on-activation")
            ok = ParseBool(value, &c.restartOnActivation);
        else if (key == "restart-clears-status")
            ok = ParseBool(value, &c.restartClearsStatus);
        else if (key == "any-offset")
            ok = ParseBool(value, &c.anyOffset);
        else if (key == "buffer-id")
            ok = ParseUnsigned(value, 0xFF, &v), c.bufferId = (uint8_t)v;
        else if (key == "fault")
        {
            FaultSpec f;
            std::string faultError;
            ok = ParseFault(value, &f, &faultError) && AddFault(&c, f, &faultError);
        }
        else
            ok = false;
        if (!ok)
        {
            *error = "settings line " + std::to_string(lineNumber) + " is not valid: " + line;
            return false;
        }
    }
    if (!ValidateConfig(c, error))
    {
        return false;
    }
    *config = c;
    return true;
}

bool ValidateConfig(const Config& c, std::string* error)
{
    if (c.deviceType > kPeripheralTypeMax)
    {
        *error = "device type must be from 0 to 31";
        return false;
    }
    if (c.completeStatus < 0x10 || c.completeStatus > 0x12)
    {
        *error = "the completion status must be 0x10, 0x11 or 0x12";
        return false;
    }
    if (c.deferredBusyStatus != 0x02 && c.deferredBusyStatus != 0x03)
    {
        *error = "the deferred storage status must be 0x02 or 0x03";
        return false;
    }
    if (c.maxImageSize < 1)
    {
        *error = "the maximum image size must be at least 1 byte";
        return false;
    }
    if (c.slots > kMaxSlots)
    {
        *error = "at most " + std::to_string(kMaxSlots) + " array device slots";
        return false;
    }
    if (c.secondarySubenclosures > kMaxSecondarySubenclosures)
    {
        *error = "at most 15 secondary subenclosures";
        return false;
    }
    return true;
}

} // namespace sesim
