// A scripted SCSI generic node for end-to-end tests, loaded with LD_PRELOAD: the path named by
// E2E_SCRIPTED_SG_PATH opens as a node of the sg driver (the simulator's sg_node.cpp) whose
// device answers from the rules in the file named by E2E_SCRIPTED_SG_SCRIPT. It gives a test device behaviour that no honest enclosure
// model produces (a status page chosen byte by byte, a completion at the wrong moment).
//
// One rule per line:
//   MATCH COUNT [status=XX] [sense=KK/AA/QQ] [data=HEX] [host=XX]
// MATCH is the operation code in hex, optionally "/PP" to match CDB byte 2 as well (the page
// code of RECEIVE DIAGNOSTIC RESULTS). COUNT is how many commands the rule answers, or '*'.
// A command takes the first rule that matches and is not used up; a command no rule answers
// ends with CHECK CONDITION, ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE.
//
// Every command is appended to the script's path + ".log" in the simulator's command log format
// (data-out bytes in full), so that the same log reader serves both.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sesim_model.h"
#include "sesim_scsi.h"
#include "sg_node.h"
#include "vocabulary.h"

namespace
{

struct Rule
{
    int opcode = -1;
    int byte2 = -1;
    long remaining = -1; // -1: no limit
    uint8_t status = 0;
    bool hasSense = false;
    uint8_t senseKey = 0, asc = 0, ascq = 0;
    std::vector<uint8_t> data;
    uint8_t host = 0;
};

struct State
{
    bool loaded = false;
    std::string path;
    std::string logPath;
    std::vector<Rule> rules;
    int commandIndex = 0;
};

State& Global()
{
    static State state;
    return state;
}

void Load()
{
    State& s = Global();
    if (s.loaded)
        return;
    s.loaded = true;
    const char* path = getenv("E2E_SCRIPTED_SG_PATH");
    const char* script = getenv("E2E_SCRIPTED_SG_SCRIPT");
    if (path == nullptr || script == nullptr)
        return;
    s.path = path;
    s.logPath = std::string(script) + ".log";
    FILE* f = fopen(script, "r");
    if (f == nullptr)
        return;
    char line[16384];
    while (fgets(line, sizeof(line), f) != nullptr)
    {
        std::vector<std::string> words;
        for (char* w = strtok(line, " \t\r\n"); w != nullptr; w = strtok(nullptr, " \t\r\n"))
            words.emplace_back(w);
        if (words.size() < 2)
            continue;
        Rule r;
        r.opcode = (int)strtol(words[0].c_str(), nullptr, 16);
        size_t slash = words[0].find('/');
        if (slash != std::string::npos)
            r.byte2 = (int)strtol(words[0].c_str() + slash + 1, nullptr, 16);
        r.remaining = words[1] == "*" ? -1 : strtol(words[1].c_str(), nullptr, 10);
        for (size_t i = 2; i < words.size(); i++)
        {
            const std::string& w = words[i];
            std::string value = w.substr(w.find('=') + 1);
            if (w.rfind("status=", 0) == 0)
                r.status = (uint8_t)strtoul(value.c_str(), nullptr, 16);
            else if (w.rfind("sense=", 0) == 0)
            {
                unsigned k = 0, a = 0, q = 0;
                // The rules are written by the tests themselves; a malformed one shows as zeros.
                sscanf(value.c_str(), "%x/%x/%x", &k, &a, &q); // NOLINT(cert-err34-c)
                r.hasSense = true;
                r.senseKey = (uint8_t)k, r.asc = (uint8_t)a, r.ascq = (uint8_t)q;
            }
            else if (w.rfind("data=", 0) == 0)
                r.data = vocab::FromHex(value);
            else if (w.rfind("host=", 0) == 0)
                r.host = (uint8_t)strtoul(value.c_str(), nullptr, 16);
        }
        s.rules.push_back(r);
    }
    fclose(f);
}

void LogCommand(const sesim::Command& command, const sesim::Result& result, int ruleIndex)
{
    State& s = Global();
    FILE* f = fopen(s.logPath.c_str(), "a");
    if (f == nullptr)
        return;
    std::string sense = vocab::SenseText(result.sense, result.senseLength);
    fprintf(f, "%d op=%02x cdb=%s dout=%zu:%s status=%02x sense=%s din=%zu fault=- rule=%d\n", s.commandIndex,
            command.cdb[0], vocab::Hex(command.cdb, command.cdbLength).c_str(), command.dataOutLength,
            vocab::Hex(command.dataOut, command.dataOutLength).c_str(), result.status, sense.c_str(), result.dataInLength,
            ruleIndex);
    fclose(f);
}

// The device behind the scripted node: each command takes the first rule that matches it.
class ScriptedDevice final : public sgnode::Device
{
  public:
    const char* NodeFile() override
    {
        nodeFile_ = Global().logPath + ".node";
        return nodeFile_.c_str();
    }
    int Attach() override { return 0; }
    bool Reset(sesim::ResetKind) override { return true; }
    uint8_t DeviceType() override { return sesim::kPeripheralTypeEnclosure; }

    void Execute(const sesim::Command& command, sesim::Result* result, int64_t) override
    {
        State& s = Global();
        s.commandIndex++;
        memset(result, 0, sizeof(*result));
        result->outcome = sesim::Outcome::Completed;
        Rule* rule = nullptr;
        int ruleIndex = 0;
        for (size_t i = 0; i < s.rules.size(); i++)
        {
            Rule& r = s.rules[i];
            if (r.remaining != 0 && r.opcode == command.cdb[0] &&
                (r.byte2 < 0 || (command.cdbLength > 2 && r.byte2 == command.cdb[2])))
            {
                rule = &r;
                ruleIndex = (int)i + 1;
                break;
            }
        }
        Rule unscripted;
        if (rule == nullptr)
        {
            unscripted.status = sesim::kStatusCheckCondition;
            unscripted.hasSense = true;
            unscripted.senseKey = sesim::kSenseIllegalRequest, unscripted.asc = sesim::kAscInvalidOpcode;
            rule = &unscripted;
        }
        else if (rule->remaining > 0)
            rule->remaining--;
        if (rule->host != 0)
        {
            result->outcome = sesim::Outcome::HostError;
            result->hostStatus = rule->host;
        }
        result->status = rule->status;
        result->dataInLength = std::min(rule->data.size(), command.dataInLength);
        memcpy(command.dataIn, rule->data.data(), result->dataInLength);
        result->dataOutUsed = command.dataOutLength;
        if (rule->hasSense)
        {
            result->senseLength = sesim::BuildSense(result->sense, sizeof(result->sense), false, rule->senseKey,
                                                    rule->asc, rule->ascq, sesim::FieldPointer{false, false, 0, -1});
        }
        LogCommand(command, *result, ruleIndex);
    }

  private:
    std::string nodeFile_;
};

ScriptedDevice g_device;

} // namespace

int sgnode::FindNode(const char* path)
{
    Load();
    return !Global().path.empty() && Global().path == path ? 0 : -1;
}

sgnode::Device* sgnode::NodeDevice(int)
{
    return &g_device;
}

int sgnode::OpenOther(const char*, int)
{
    return sgnode::kPassThrough;
}
